#pragma once

#include <complex>
#include <cstdint>

#include "dsp/timepitch/AnalysisState.h"
#include "dsp/timepitch/ClusterFitter.h"
#include "dsp/timepitch/FitJudgement.h"
#include "dsp/timepitch/HiddenPartialSearch.h"
#include "dsp/timepitch/PeakTracker.h"
#include "dsp/timepitch/RegionMap.h"
#include "dsp/timepitch/ResidualMemory.h"

namespace brimo::timepitch {

// Finds the sinusoids of one analysis frame and follows them from frame to frame. Each frame's
// spectra are read as a sum of windowed sinusoids: peaks give their frequencies (refined from
// the phase advance between frames), and a least-squares fit over the bins of each group of
// neighbouring partials gives every channel's complex amplitude, so that close partials are
// separated instead of mixed. Partials too close to show peaks of their own are kept from the
// frames where they did, or found where the fit leaves a peak of unexplained energy. A partial
// is shifted only when it was already present in the previous frame and the fit explains its
// bins; everything else is moved with the peak region it lies in. The stages (PeakTracker,
// ClusterFitter, HiddenPartialSearch, FitJudgement, RegionMap) share the frames in an
// AnalysisState; this class runs them in turn and carries each partial's phase offset on.
class PartialAnalyzer {
  public:
    static constexpr int kMaxChannels = AnalysisState::kMaxChannels;

    PartialAnalyzer() = default;
    // Its stages point into it.
    PartialAnalyzer(const PartialAnalyzer&) = delete;
    PartialAnalyzer& operator=(const PartialAnalyzer&) = delete;

    // Takes all memory for frames of `frameSize` samples and up to `maxPartials` partials.
    void prepare(int frameSize, int channels, int maxPartials);

    // Forgets every partial, as after silence.
    void reset();

    // Analyses the zero-phase spectra (frameSize/2 + 1 bins per channel) of a frame `hop`
    // samples after the previous one. The shifted copies' phase offsets advance with the
    // pitch ratio, taken as the mean of `ratioBefore` and `ratioNow` over the hop.
    // `jointFit` fits neighbouring partials together; otherwise each partial alone.
    // `onsetFromCentre` is where the latest attack in the frame lies (samples from the centre,
    // negative before it), or 0 when there is none: a partial born there gets the phase offset
    // it would have gathered since then, so partials that start together stay aligned.
    void analyze(const std::complex<float>* const* spectra, int hop, double ratioBefore,
                 double ratioNow, bool jointFit, double onsetFromCentre = 0.0);

    // Where the next frame's spectra may be written (frameSize/2 + 1 bins per channel, channel
    // after channel): analysed there, they need no copy to be kept for the frame after.
    // NOLINTNEXTLINE(readability-make-member-function-const): it hands out memory to write
    [[nodiscard]] std::complex<float>* nextSpectra() { return state_.prev->spectra.data(); }

    // Partials, in order of frequency.
    [[nodiscard]] int partialCount() const { return state_.cur->count; }
    [[nodiscard]] const Partial& partial(int index) const {
        return state_.cur->partials[static_cast<std::size_t>(index)];
    }
    // Complex amplitude (A/2)·e^{iφ} of a partial in a channel, phase at the frame centre.
    [[nodiscard]] std::complex<float> amplitude(int index, int channel) const {
        return state_.amplitude(index, channel);
    }

    // The bins that belong to each spectral peak: from the low point below it to the low point
    // above it, in order of frequency. Together they cover bins 1 … frameSize/2 − 1.
    [[nodiscard]] int regionCount() const { return state_.cur->regionCount; }
    [[nodiscard]] int regionStart(int region) const {
        return state_.cur->regionStarts[static_cast<std::size_t>(region)];
    }
    [[nodiscard]] int regionEnd(int region) const {
        return state_.cur->regionStarts[static_cast<std::size_t>(region) + 1];
    }
    // The partial found at the region's peak.
    [[nodiscard]] int regionOwner(int region) const {
        return state_.cur->regionOwners[static_cast<std::size_t>(region)];
    }
    // Every region's owner, regionCount() of them.
    [[nodiscard]] const std::int32_t* regionOwners() const {
        return state_.cur->regionOwners.data();
    }
    // While set, every phase offset also moves back towards zero by at most `share` of its
    // partial's own phase advance (a pitch off by that share) or `floorRadians` per sample of
    // the hop, whichever is more: how the output returns to the input before the shift is
    // switched off.
    void setUnwinding(double share, double floorRadians) {
        unwindShare_ = share;
        unwindFloor_ = floorRadians;
    }
    // The largest phase offset of the frame's partials, in radians.
    [[nodiscard]] double largestOffset() const { return largestOffset_; }

    // Power of the loudest bin in the frame, summed over the channels.
    [[nodiscard]] float loudestPower() const { return state_.loudest; }

  private:
    void advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre, int hop);
    // The phase offset a partial carries on with from the previous frame, or starts with.
    void setOffset(Partial& partial, double meanRatio, double ratioNow, double onsetFromCentre,
                   double radiansPerBin) const;
    // Keeps the frame's spectra for the next one and puts its partials in order of frequency.
    void finishFrame(const std::complex<float>* const* spectra);

    AnalysisState state_;
    PeakTracker tracker_{state_};
    RegionMap regions_{state_};
    ResidualMemory residuals_{state_};  // kept between the walks over the fitted groups
    ClusterFitter fitter_{state_, residuals_};
    HiddenPartialSearch hidden_{state_, fitter_, tracker_, residuals_};
    FitJudgement judgement_{state_, fitter_, residuals_};

    double unwindShare_ = 0.0;
    double unwindFloor_ = 0.0;
    double largestOffset_ = 0.0;
    int sinceSolved_ = 0;  // samples since close partials were last solved for
};

}  // namespace brimo::timepitch
