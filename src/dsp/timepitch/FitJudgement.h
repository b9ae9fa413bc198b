#pragma once

#include <complex>

#include "dsp/timepitch/AnalysisState.h"
#include "dsp/timepitch/ClusterFitter.h"
#include "dsp/timepitch/ResidualMemory.h"

namespace brimo::timepitch {

// Whether the fit explains each partial's bins: a partial is shifted only where it does and the
// partial was already present in the previous frame. Noise peaks are marked unfitted.
class FitJudgement {
  public:
    // Takes the groups' residuals from `residuals` where an earlier walk kept them.
    FitJudgement(AnalysisState& state, const ClusterFitter& fitter, ResidualMemory& residuals)
        : state_(state), fitter_(fitter), residuals_(residuals) {}

    void judgeFit(const std::complex<float>* const* spectra, bool jointFit);

  private:
    AnalysisState& state_;
    const ClusterFitter& fitter_;
    ResidualMemory& residuals_;
};

}  // namespace brimo::timepitch
