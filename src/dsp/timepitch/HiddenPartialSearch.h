#pragma once

#include <complex>

#include "dsp/timepitch/AnalysisState.h"
#include "dsp/timepitch/ClusterFitter.h"
#include "dsp/timepitch/PeakTracker.h"
#include "dsp/timepitch/ResidualMemory.h"

namespace brimo::timepitch {

// Finds partials too close to others to have shown peaks of their own: where a group's fit
// leaves a peak of unexplained power, one more partial is taken to hide there.
class HiddenPartialSearch {
  public:
    // Partials found go to `tracker`; each group's residuals are kept in `residuals` for the
    // judgement of the fit.
    HiddenPartialSearch(AnalysisState& state, const ClusterFitter& fitter, PeakTracker& tracker,
                        ResidualMemory& residuals)
        : state_(state), fitter_(fitter), tracker_(tracker), residuals_(residuals) {}

    void discoverHidden(const std::complex<float>* const* spectra, bool jointFit);

  private:
    // Where, within half a bin of `bin`, the unexplained power in `residuals` (by bin) peaks.
    [[nodiscard]] static double unexplainedPeakOffset(const double* residuals, int bin);

    AnalysisState& state_;
    const ClusterFitter& fitter_;
    PeakTracker& tracker_;
    ResidualMemory& residuals_;
};

}  // namespace brimo::timepitch
