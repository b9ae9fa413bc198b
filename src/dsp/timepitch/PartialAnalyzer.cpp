#include "dsp/timepitch/PartialAnalyzer.h"

#include <algorithm>
#include <cmath>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/VectorLoops.h"

namespace brimo::timepitch {

using namespace analysis;

void PartialAnalyzer::prepare(int frameSize, int channels, int maxPartials) {
    frameSize_ = frameSize;
    bins_ = frameSize / 2 + 1;
    channels_ = std::clamp(channels, 1, kMaxChannels);
    maxPartials_ = maxPartials;
    vectorLoops_ = vectorLoopsEnabled();
    window_.prepare(frameSize, kHann, 40);
    prepareFits();
    const auto partials = static_cast<std::size_t>(maxPartials);
    power_.assign(static_cast<std::size_t>(bins_), 0.0F);
    binResidual_.assign(static_cast<std::size_t>(bins_), 0.0);
    // Groups' spans are apart and each keeps its lobes' few bins beyond them.
    kept_.prepare(bins_, maxPartials);
    peakBins_.assign(static_cast<std::size_t>(bins_) + 2 * kPeakBinsRoom, 0);
    for (PartialFrame& frame : frames_) {
        frame.prepare(maxPartials, channels_, bins_);
    }
    taken_.assign(partials, 0);
    order_.assign(partials, 0);
    scratch_.assign(partials, {});
    merged_.assign(partials, 0);
    amplitudeScratch_.assign(partials * static_cast<std::size_t>(channels_), {});
    inverse_.assign(partials, 0);
    occupied_.assign(static_cast<std::size_t>(bins_) + 2, {});
    reset();
}

void PartialAnalyzer::reset() {
    cur_->clear();
    prev_->clear();
    sinceSolved_ = 0;
    largestOffset_ = 0.0;
    hasPrevious_ = false;
}

void PartialAnalyzer::analyze(const std::complex<float>* const* spectra, int hop,
                              double ratioBefore, double ratioNow, bool jointFit,
                              double onsetFromCentre) {
    std::swap(cur_, prev_);
    kept_.clear();
    findPeaks(spectra);
    estimateFrequencies(spectra, hop);
    matchPrevious();
    leaveFaintPeaksToNeighbours(ratioNow);
    continueHidden();
    fitAmplitudes(spectra, jointFit);
    refineFromPhaseAdvance(hop, true);
    // Close partials change slowly: solving for them once per half frame is enough, however
    // small the hop (every third frame on the finest grid; every other frame measured within
    // 0.2 dB on close chords and music, at 4 % more work; every frame no better, nor half the
    // spectrum in each frame).
    sinceSolved_ += hop;
    if (jointFit && 2 * sinceSolved_ >= frameSize_) {
        sinceSolved_ = 0;
        solveCloseFrequencies(spectra);
    }
    if (jointFit) {
        discoverHidden(spectra, jointFit);
    }
    findRegions();
    // Groups whose frequencies and members stayed put keep their amplitudes.
    fitAmplitudes(spectra, jointFit, true);
    refineFromPhaseAdvance(hop, false);
    judgeFit(spectra, jointFit);
    advanceOffsets(0.5 * (ratioBefore + ratioNow), ratioNow, onsetFromCentre, hop);
    finishFrame(spectra);
}

void PartialAnalyzer::advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre,
                                     int hop) {
    const double radiansPerBin = kTwoPi / frameSize_;
    largestOffset_ = 0.0;
    for (int j = 0; j < cur_->count; ++j) {
        Partial& partial = cur_->partials[static_cast<std::size_t>(j)];
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
        const Partial& previous = prev_->partials[static_cast<std::size_t>(partial.previous)];
        partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
        partial.age = previous.age + 1;
        return;
    }
    partial.age = 0;
    const int bin = partial.peakBin >= 0 ? partial.peakBin : nearestBin(partial.bins);
    const int owner = previousOwner(bin, onsetFromCentre != 0.0);
    if (owner >= 0) {
        // A partial that was already sounding under another one's peak (peaks of close
        // partials come and go as they beat) carries on with that peak's offset:
        // restarting it would undo the shift gathered so far.
        const Partial& previous = prev_->partials[static_cast<std::size_t>(owner)];
        partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
    } else {
        partial.offset =
            wrapPhase(-(ratioNow - 1.0) * partial.bins * radiansPerBin * onsetFromCentre);
    }
}

void PartialAnalyzer::finishFrame(const std::complex<float>* const* spectra) {
    for (int c = 0; c < channels_; ++c) {
        std::complex<float>* kept = cur_->spectra.data() + spectrumIndex(c, 0);
        if (spectra[c] != kept) {
            std::copy(spectra[c], spectra[c] + bins_, kept);
        }
    }
    hasPrevious_ = true;
    // The fitted partials and the noise peaks are each in order already, so one merge puts
    // them all in order.
    const int count = cur_->count;
    for (int j = 0; j < count; ++j) {
        inverse_[static_cast<std::size_t>(j)] = j;
    }
    mergeByFrequency(inverse_.data(), cur_->fitCount, inverse_.data() + cur_->fitCount,
                     count - cur_->fitCount, order_.data(), false);
    movePartials(order_.data(), count);
    for (int i = 0; i < count; ++i) {
        inverse_[static_cast<std::size_t>(order_[static_cast<std::size_t>(i)])] = i;
    }
    cur_->partials.swap(scratch_);
    cur_->amplitudes.swap(amplitudeScratch_);
    for (int r = 0; r < cur_->regionCount; ++r) {
        auto& owner = cur_->regionOwners[static_cast<std::size_t>(r)];
        owner = inverse_[static_cast<std::size_t>(owner)];
    }
}

}  // namespace brimo::timepitch
