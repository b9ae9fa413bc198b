#include "dsp/timepitch/PeakTracker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/ChannelCount.h"
#include "dsp/timepitch/PartialOrder.h"
#include "dsp/timepitch/PeakTrackerKernels.h"

namespace brimo::timepitch {

using namespace analysis;

void PeakTracker::prepare() {
    const auto partials = static_cast<std::size_t>(state_.maxPartials);
    const auto bins = static_cast<std::size_t>(state_.bins);
    peakBins_.assign(bins + 2 * kPeakBinsRoom, 0);
    taken_.assign(partials, 0);
    order_.assign(partials, 0);
    scratch_.assign(partials, {});
    merged_.assign(partials, 0);
    amplitudeScratch_.assign(partials * static_cast<std::size_t>(state_.channels), {});
    inverse_.assign(partials, 0);
    occupied_.assign(bins + 2, {});
}

void PeakTracker::findPeaks(const std::complex<float>* const* spectra) {
    const float loudest =
        state_.vectorLoops
            ? peakkernels::powerAvx2(spectra, state_.channels, state_.bins, state_.power.data())
            : peakkernels::powerPlain(spectra, state_.channels, 0, state_.bins, state_.power.data(),
                                      0.0F);
    state_.loudest = loudest;
    // −140 dBFS for a sinusoid: below the noise of any real source.
    const double quarter = 1e-7 * state_.frameSize / 4.0;
    const auto floor = static_cast<float>(std::max(static_cast<double>(loudest) * kRelativeFloor,
                                                   state_.channels * quarter * quarter));
    // Room is kept for partials without peaks of their own; beyond it the weakest peaks go.
    const int maxPeaks = state_.maxPartials * 2 / 3;
    const float* p = state_.power.data();
    std::int32_t* peaks = peakBins();
    int found = state_.vectorLoops
                    ? peakkernels::peaksAvx2(p, 2, state_.bins - 3, floor, peaks)
                    : peakkernels::peaksPlain(p, 2, state_.bins - 3, floor, peaks, 0);
    if (found > maxPeaks) {
        std::nth_element(peaks, peaks + maxPeaks, peaks + found,
                         [p](int a, int b) { return p[a] > p[b]; });
        found = maxPeaks;
        std::sort(peaks, peaks + found);
    }
    for (int j = 0; j < found; ++j) {
        state_.cur->partials[static_cast<std::size_t>(j)] = Partial{.peakBin = peaks[j]};
    }
    state_.cur->count = found;
}

void PeakTracker::estimateFrequencies(const std::complex<float>* const* spectra, int hop) {
    // From the shape of each peak first, eight at a time with AVX2 (the peaks' bins are still
    // in peakBins(), in the partials' order); then, with AVX2, four peaks' phase advances at a
    // time.
    int shaped = 0;
    if (state_.vectorLoops) {
        shaped = peakkernels::shapeFrequenciesAvx2(state_.cur->partials.data(), state_.cur->count,
                                                   state_.power.data(), peakBins());
    }
    for (int j = shaped; j < state_.cur->count; ++j) {
        Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
        partial.bins = frequencyFromShape(partial.peakBin);
    }
    int done = 0;
    if (state_.hasPrevious && state_.vectorLoops) {
        done = peakkernels::phaseFrequenciesAvx2(state_.cur->partials.data(), state_.cur->count,
                                                 spectra, state_.prev->spectra.data(), state_.bins,
                                                 state_.channels, hop, state_.frameSize);
    }
    for (int j = done; j < state_.cur->count; ++j) {
        Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
        if (state_.hasPrevious) {
            frequencyFromPhase(partial, spectra, hop);
        }
        partial.advance = kTwoPi * partial.bins * hop / state_.frameSize;
    }
}

double PeakTracker::frequencyFromShape(int k) const {
    // A parabola through the logarithms of the peak's power (two logarithms, of the neighbours'
    // ratios to the peak, in single precision as the power itself). A peak is at least as strong
    // as its neighbours, so the ratios are at most one; taken at least as the least normal
    // number, they stay finite next to a bin of no power, however loud the peak.
    const float* p = state_.power.data() + k;
    constexpr float kLeast = std::numeric_limits<float>::min();
    const float below = std::log(std::max(p[-1] / p[0], kLeast));
    const float above = std::log(std::max(p[1] / p[0], kLeast));
    const auto curvature = static_cast<double>(below + above);
    return k + (curvature < 0.0 ? 0.5 * static_cast<double>(below - above) / curvature : 0.0);
}

void PeakTracker::frequencyFromPhase(Partial& partial, const std::complex<float>* const* spectra,
                                     int hop) const {
    // The phase advance of the peak bin since the previous frame is exact for a steady partial
    // that dominates its bin. Where it and the shape (in partial.bins) disagree, the peak is
    // noise.
    const int k = partial.peakBin;
    const double fromShape = partial.bins;
    std::complex<double> cross;
    withChannels(state_.channels, [&](auto channels) {
        for (int ch = 0; ch < channels; ++ch) {
            cross +=
                timesConjugate(spectra[ch][k], state_.prev->spectra[state_.spectrumIndex(ch, k)]);
        }
    });
    if (!isZero(cross)) {
        const double binsPerRadian = state_.frameSize / (kTwoPi * hop);
        const double expected = kTwoPi * k * hop / state_.frameSize;
        const double nu = k + wrapPhase(phaseOf(cross) - expected) * binsPerRadian;
        if (std::abs(nu - k) <= 1.0) {
            partial.bins = nu;
        }
        partial.isNoise = std::abs(nu - fromShape) > kTonalAgreement;
    }
}

void PeakTracker::markCrowded() {
    // Noise has peaks every few bins; close partials of music, whose peaks merge and so look
    // like noise too, have far fewer around them. The peaks are in order of their bins, so the
    // peaks within reach of each one form a window that only moves up.
    const int count = state_.cur->count;
    Partial* partials = state_.cur->partials.data();
    if (state_.vectorLoops) {
        // The peaks' bins are still in peakBins(), in the partials' order; the entries around
        // them read as out of reach.
        std::int32_t* bins = peakBins();
        std::fill(bins - kPeakBinsRoom, bins, std::numeric_limits<std::int32_t>::min() / 2);
        std::fill(bins + count, bins + count + kPeakBinsRoom,
                  std::numeric_limits<std::int32_t>::max() / 2);
        peakkernels::crowdedAvx2(partials, count, bins);
        return;
    }
    int below = 0;
    int above = 0;
    for (int j = 0; j < count; ++j) {
        Partial& partial = partials[j];
        while (partials[below].peakBin < partial.peakBin - kCrowdReach) {
            ++below;
        }
        while (above + 1 < count && partials[above + 1].peakBin <= partial.peakBin + kCrowdReach) {
            ++above;
        }
        partial.isCrowded = above - below >= kCrowdPeaks;
    }
}

void PeakTracker::matchPrevious() {
    // Both lists are in frequency order; each current partial takes the nearest free previous
    // one within a bin, which follows any partial that glides by less than a bin per frame.
    // Through plain pointers: the flags' byte stores would otherwise make every step reload
    // the lists.
    const int count = state_.cur->count;
    Partial* partials = state_.cur->partials.data();
    const int previousCount = state_.prev->count;
    const Partial* previousPartials = state_.prev->partials.data();
    char* taken = taken_.data();
    std::fill(taken, taken + previousCount, 0);
    // Among many peaks (noise has one every few bins) a peak is fitted only when its shape and
    // phase advance agreed in this frame and the one before, or the fit explained it lately;
    // elsewhere every peak is (close partials of music merge into peaks that look like noise).
    // A followed partial starts from where it was: the peak of a lobe shared with a close
    // neighbour says little about either, and the phase advance corrects a glide.
    markCrowded();
    int i = 0;
    int lastTaken = -1;
    for (int j = 0; j < count; ++j) {
        Partial& partial = partials[j];
        const double nu = partial.bins;
        while (i < previousCount && previousPartials[i].bins < nu - 1.0) {
            ++i;
        }
        // The previous ones rise: past the first at or above nu, each is farther than the one
        // before (and one more than a bin above is never nearer than a bin).
        int best = -1;
        double bestDistance = 1.0;
        for (int t = std::max(i, lastTaken + 1); t < previousCount; ++t) {
            const double then = previousPartials[t].bins;
            const double d = std::abs(then - nu);
            if (d < bestDistance) {
                bestDistance = d;
                best = t;
            }
            if (then >= nu) {
                break;
            }
        }
        partial.previous = best;
        const Partial* previous = nullptr;
        if (best >= 0) {
            lastTaken = best;
            taken[best] = 1;
            previous = &previousPartials[best];
        }
        const bool explained =
            previous != nullptr && previous->hasFitted && previous->misfits <= kGraceFrames;
        const bool steady = !partial.isNoise && previous != nullptr && !previous->isNoise;
        partial.isNoise = partial.isCrowded && !steady && !explained;
        if (previous != nullptr && !partial.isNoise) {
            partial.bins = previous->bins;
        }
    }
}

inline void PeakTracker::occupy(Occupancy* occupied, int lastEntry, std::int64_t stamp,
                                double bins) {
    // Bin b's entry is at b + 1; partials outside the band share the two end entries, which
    // no partial being added looks at.
    // Frequencies are hardly ever negative: truncation is their floor, without the library's.
    const int whole = bins >= 0.0 ? static_cast<int>(bins) : static_cast<int>(std::floor(bins));
    Occupancy& entry = occupied[std::clamp(whole + 1, 0, lastEntry)];
    if (entry.stamp != stamp) {
        entry = {stamp, bins, bins};
    } else {
        entry.lowest = std::min(entry.lowest, bins);
        entry.highest = std::max(entry.highest, bins);
    }
}

void PeakTracker::markOccupied() {
    const std::int64_t stamp = ++occupancyStamp_;
    Occupancy* occupied = occupied_.data();
    const int lastEntry = state_.bins + 1;
    const Partial* partials = state_.cur->partials.data();
    const int count = state_.cur->count;
    for (int j = 0; j < count; ++j) {
        occupy(occupied, lastEntry, stamp, partials[j].bins);
    }
}

void PeakTracker::markOccupied(double bins) {
    occupy(occupied_.data(), state_.bins + 1, occupancyStamp_, bins);
}

void PeakTracker::addPartial(double bins, std::int32_t previous) {
    if (state_.cur->count >= state_.maxPartials || bins < 1.0 || bins > state_.bins - 2.0) {
        return;
    }
    // Only partials in the same whole bin or the two beside it can lie within kSameBins (one
    // bin): any in its own bin does, and of those beside it the nearest ones decide.
    static_assert(kSameBins == 1.0);
    const auto index = static_cast<std::size_t>(std::floor(bins)) + 1;
    const Occupancy& below = occupied_[index - 1];
    const Occupancy& same = occupied_[index];
    const Occupancy& above = occupied_[index + 1];
    if (same.stamp == occupancyStamp_ ||
        (below.stamp == occupancyStamp_ && bins - below.highest < kSameBins) ||
        (above.stamp == occupancyStamp_ && above.lowest - bins < kSameBins)) {
        return;
    }
    state_.cur->partials[static_cast<std::size_t>(state_.cur->count++)] =
        Partial{.bins = bins, .previous = previous};
    markOccupied(bins);
}

void PeakTracker::continueHidden() {
    // A partial that the fit explained last frame but that has no peak now (a louder neighbour
    // swallowed it) is looked for where it was.
    markOccupied();
    double loudest = 0.0;
    withChannels(state_.channels, [&](auto channels) {
        for (int q = 0; q < state_.prev->count; ++q) {
            double own = 0.0;
            for (int c = 0; c < channels; ++c) {
                own += std::norm(state_.prev->amplitudes[state_.amplitudeIndex(q, c)]);
            }
            loudest = std::max(loudest, own);
        }
    });
    for (int q = 0; q < state_.prev->count; ++q) {
        const Partial& previous = state_.prev->partials[static_cast<std::size_t>(q)];
        if (taken_[static_cast<std::size_t>(q)] != 0 || previous.misfits > kGraceFrames ||
            !previous.hasFitted || (previous.age < kSettledFrames && !previous.fitsWell)) {
            continue;
        }
        double own = 0.0;
        for (int c = 0; c < state_.channels; ++c) {
            own += std::norm(state_.prev->amplitudes[state_.amplitudeIndex(q, c)]);
        }
        if (own >= kHiddenFloor * loudest) {
            addPartial(previous.bins, q);
        }
    }
    sortPartials();
}

void PeakTracker::sortPartials() {
    // Partials to fit first, in order of frequency; noise peaks after them. Their amplitudes go
    // with them, so groups whose members stay together keep their fits. The partials come as a
    // few runs already in order (peaks, then followed or found ones), so merging is enough.
    int fitted = 0;
    int noise = 0;
    const int count = state_.cur->count;
    const Partial* partials = state_.cur->partials.data();
    // Through plain pointers: stores through the lists' own would make every pass reload them.
    std::int32_t* noisy = inverse_.data();
    std::int32_t* toFit = order_.data();
    for (int j = 0; j < count; ++j) {
        if (partials[j].isNoise) {
            noisy[noise++] = j;
        } else {
            toFit[fitted++] = j;
        }
    }
    const auto byFrequency = [partials](std::int32_t a, std::int32_t b) {
        return partials[a].bins < partials[b].bins;
    };
    const auto first = order_.begin();
    const auto end = first + fitted;
    const auto split = std::is_sorted_until(first, end, byFrequency);
    const auto sorted = merged_.begin();
    if (std::is_sorted(split, end, byFrequency)) {
        std::merge(first, split, split, end, sorted, byFrequency);
    } else {
        std::copy(first, end, sorted);
        std::sort(sorted, sorted + fitted, byFrequency);
    }
    std::copy(inverse_.begin(), inverse_.begin() + noise, sorted + fitted);
    movePartials(merged_.data(), count);
    // The scratch lists are as long as the frame's: they become them.
    state_.cur->partials.swap(scratch_);
    state_.cur->amplitudes.swap(amplitudeScratch_);
    state_.cur->fitCount = fitted;
}

void PeakTracker::movePartials(const std::int32_t* order, int count) {
    // A partial's amplitudes lie side by side, one per channel: they move as one block.
    const Partial* partials = state_.cur->partials.data();
    const std::complex<float>* amplitudes = state_.cur->amplitudes.data();
    Partial* to = scratch_.data();
    std::complex<float>* amplitudesTo = amplitudeScratch_.data();
    if (state_.vectorLoops && state_.channels == 2) {
        peakkernels::moveStereoAvx2(partials, amplitudes, order, count, to, amplitudesTo);
        return;
    }
    withChannels(state_.channels, [&](auto channels) {
        const auto block = sizeof(std::complex<float>) * static_cast<std::size_t>(channels);
        for (int i = 0; i < count; ++i) {
            const std::int32_t j = order[i];
            to[i] = partials[j];
            std::memcpy(amplitudesTo + static_cast<std::size_t>(i) * channels,
                        amplitudes + static_cast<std::size_t>(j) * channels, block);
        }
    });
}

void PeakTracker::refineFromPhaseAdvance(int hop, bool updateFrequencies) {
    const double binsPerRadian = state_.frameSize / (kTwoPi * hop);
    // A phase error turns into a frequency error inversely proportional to the hop; below an
    // eighth of the frame the measurements are averaged over about that span instead.
    const double gain = std::min(1.0, 8.0 * hop / state_.frameSize);
    int done = 0;
    if (state_.vectorLoops && state_.channels == 2) {
        done = peakkernels::refineStereoAvx2(
            state_.cur->partials.data(), state_.cur->fitCount, state_.cur->amplitudes.data(),
            state_.prev->partials.data(), state_.prev->amplitudes.data(), hop, state_.frameSize,
            gain, updateFrequencies);
    }
    withChannels(state_.channels, [&](auto channels) {
        for (int j = done; j < state_.cur->fitCount; ++j) {
            Partial& partial = state_.cur->partials[static_cast<std::size_t>(j)];
            const int before = partial.previous;
            const double expected = kTwoPi * partial.bins * hop / state_.frameSize;
            partial.advance = expected;
            if (before < 0) {
                continue;
            }
            std::complex<double> cross;
            for (int c = 0; c < channels; ++c) {
                cross += timesConjugate(state_.amplitude(j, c),
                                        state_.prev->amplitudes[state_.amplitudeIndex(before, c)]);
            }
            if (isZero(cross)) {
                continue;
            }
            partial.advance = expected + wrapPhase(phaseOf(cross) - expected);
            const double nu = partial.advance * binsPerRadian;
            if (updateFrequencies && std::abs(nu - partial.bins) < 0.5) {
                const double then = state_.prev->partials[static_cast<std::size_t>(before)].bins;
                const double was = partial.bins;
                partial.bins = std::abs(nu - then) < 0.5 ? then + gain * (nu - then) : nu;
                partial.moved = std::abs(partial.bins - was) > kRefitBins;
            }
        }
    });
}

void PeakTracker::putInFrequencyOrder() {
    PartialFrame& frame = *state_.cur;
    // The fitted partials and the noise peaks are each in order already, so one merge puts
    // them all in order.
    const int count = frame.count;
    for (int j = 0; j < count; ++j) {
        inverse_[static_cast<std::size_t>(j)] = j;
    }
    mergeByFrequency(frame.partials.data(), inverse_.data(), frame.fitCount,
                     inverse_.data() + frame.fitCount, count - frame.fitCount, order_.data(),
                     false);
    movePartials(order_.data(), count);
    for (int i = 0; i < count; ++i) {
        inverse_[static_cast<std::size_t>(order_[static_cast<std::size_t>(i)])] = i;
    }
    frame.partials.swap(scratch_);
    frame.amplitudes.swap(amplitudeScratch_);
    for (int r = 0; r < frame.regionCount; ++r) {
        auto& owner = frame.regionOwners[static_cast<std::size_t>(r)];
        owner = inverse_[static_cast<std::size_t>(owner)];
    }
}

}  // namespace brimo::timepitch
