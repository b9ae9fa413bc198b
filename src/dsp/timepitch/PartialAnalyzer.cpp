#include "dsp/timepitch/PartialAnalyzer.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

using namespace analysis;

void PartialAnalyzer::prepare(int frameSize, int channels, int maxPartials) {
    state_.frameSize = frameSize;
    state_.bins = frameSize / 2 + 1;
    state_.channels = std::clamp(channels, 1, kMaxChannels);
    state_.maxPartials = maxPartials;
    state_.vectorLoops = vectorLoopsEnabled();
    state_.window.prepare(frameSize, kHann, 40);
    state_.power.assign(static_cast<std::size_t>(state_.bins), 0.0F);
    for (PartialFrame& frame : state_.frames) {
        frame.prepare(maxPartials, state_.channels, state_.bins);
    }
    tracker_.prepare();
    regions_.prepare();
    residuals_.prepare();
    fitter_.prepare();
    reset();
}

void PartialAnalyzer::reset() {
    state_.cur->clear();
    state_.prev->clear();
    sinceSolved_ = 0;
    largestOffset_ = 0.0;
    state_.hasPrevious = false;
}

void PartialAnalyzer::analyze(const std::complex<float>* const* spectra, int hop,
                              double ratioBefore, double ratioNow, bool jointFit,
                              double onsetFromCentre) {
    std::swap(state_.cur, state_.prev);
    residuals_.forgetSearch();
    tracker_.findPeaks(spectra);
    tracker_.estimateFrequencies(spectra, hop);
    tracker_.matchPrevious();
    regions_.leaveFaintPeaksToNeighbours(ratioNow);
    tracker_.continueHidden();
    fitter_.fitAmplitudes(spectra, jointFit);
    tracker_.refineFromPhaseAdvance(hop, true);
    // Close partials change slowly: solving for them once per half frame is enough, however
    // small the hop (every third frame on the finest grid; every other frame measured within
    // 0.2 dB on close chords and music, at 4 % more work; every frame no better, nor half the
    // spectrum in each frame).
    sinceSolved_ += hop;
    if (jointFit && 2 * sinceSolved_ >= state_.frameSize) {
        sinceSolved_ = 0;
        fitter_.solveCloseFrequencies(spectra);
    }
    if (jointFit) {
        hidden_.discoverHidden(spectra, jointFit);
    }
    regions_.findRegions();
    // Groups whose frequencies and members stayed put keep their amplitudes.
    fitter_.fitAmplitudes(spectra, jointFit, true);
    tracker_.refineFromPhaseAdvance(hop, false);
    judgement_.judgeFit(spectra, jointFit);
    advanceOffsets(0.5 * (ratioBefore + ratioNow), ratioNow, onsetFromCentre, hop);
    finishFrame(spectra);
}

void PartialAnalyzer::advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre,
                                     int hop) {
    const double radiansPerBin = kTwoPi / state_.frameSize;
    largestOffset_ = 0.0;
    for (int j = 0; j < state_.cur->count; ++j) {
        Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
        setOffset(partial, meanRatio, ratioNow, onsetFromCentre, radiansPerBin);
        if (unwindShare_ > 0.0) {
            const double step =
                std::max(unwindShare_ * std::abs(partial.advance), unwindFloor_ * hop);
            partial.offset = std::clamp(0.0, partial.offset - step, partial.offset + step);
        }
        largestOffset_ = std::max(largestOffset_, std::abs(partial.offset));
    }
}

void PartialAnalyzer::setOffset(Partial& partial, double meanRatio, double ratioNow,
                                double onsetFromCentre, double radiansPerBin) const {
    if (partial.previous >= 0) {
        const Partial& previous = state_.prev->partials[static_cast<std::size_t>(partial.previous)];
        partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
        partial.age = previous.age + 1;
        return;
    }
    partial.age = 0;
    const int bin = partial.peakBin >= 0 ? partial.peakBin : nearestBin(partial.bins);
    const int owner = regions_.previousOwner(bin, onsetFromCentre != 0.0);
    if (owner >= 0) {
        // A partial that was already sounding under another one's peak (peaks of close
        // partials come and go as they beat) carries on with that peak's offset:
        // restarting it would undo the shift gathered so far.
        const Partial& previous = state_.prev->partials[static_cast<std::size_t>(owner)];
        partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
    } else {
        partial.offset =
            wrapPhase(-(ratioNow - 1.0) * partial.bins * radiansPerBin * onsetFromCentre);
    }
}

void PartialAnalyzer::finishFrame(const std::complex<float>* const* spectra) {
    for (int c = 0; c < state_.channels; ++c) {
        std::complex<float>* kept = state_.cur->spectra.data() + state_.spectrumIndex(c, 0);
        if (spectra[c] != kept) {
            std::copy(spectra[c], spectra[c] + state_.bins, kept);
        }
    }
    state_.hasPrevious = true;
    tracker_.putInFrequencyOrder();
}

}  // namespace brimo::timepitch
