#include "platform/timepitch/PartialAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace brimo::timepitch {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Half-width, in bins, of the main lobe that each partial's fit is judged on.
constexpr int kLobe = 2;
// Partials closer than this (bins) are fitted together. Beyond it a neighbour's side lobes are
// some 40 dB down in a partial's bins; what that leaves in the residual lies in the partial's
// own peak region and moves with it, so the output hardly depends on it.
constexpr double kClusterGap = 5.0;
constexpr int kMaxCluster = 16;
// How far, in bins, a partial's window transform is taken into the fit: its side lobes are
// about 60 dB down there.
constexpr int kReach = 8;
// A peak this far below the loudest one in the frame is left alone: its own level is its error.
constexpr double kRelativeFloor = 1e-10;
// A partial is shifted only when the fit leaves at most this share of its energy unexplained.
constexpr double kFitTolerance = 0.01;
// A partial without a peak of its own is followed on while the fit explained it at least once
// in the last few frames (attacks of neighbours spoil fits for a while) and it is no more than
// 60 dB below the loudest partial.
constexpr int kGraceFrames = 6;
// Only partials followed for this many frames, or fitted well in the last one, count as
// established enough to be looked for.
constexpr int kSettledFrames = 3;
constexpr double kHiddenFloor = 1e-6;
// Where the fit leaves at least this share of a bin's power unexplained, at a peak of the
// unexplained power, a partial is assumed to hide.
constexpr double kDiscoverShare = 0.1;
// Gauss-Newton steps on the frequencies of a group of close partials, and the largest change
// of a frequency (bins) one step may make.
constexpr int kFrequencySteps = 4;
constexpr double kLargestFrequencyStep = 0.25;
// Partials closer than this (bins) share their main lobes; and the share of a run's energy
// that, once unexplained, needs no further step.
constexpr double kLobeOverlap = 3.5;
constexpr double kSolvedShare = 1e-4;
// A group whose fit leaves more than this share of its power unexplained is mostly noise:
// neither solving for its frequencies nor looking for more partials in it helps.
constexpr double kNoiseShare = 0.25;
// A partial whose frequency moved less than this (bins) since its amplitudes were fitted keeps
// them: the fit would change by far less than its tolerance.
constexpr double kRefitBins = 1e-3;
// A peak whose frequency from its shape and from its phase advance differ by more than this
// (bins), among at least kCrowdPeaks other peaks within kCrowdReach bins, is noise: it is
// moved with its region but not fitted.
constexpr double kTonalAgreement = 0.15;
constexpr int kCrowdReach = 16;
constexpr int kCrowdPeaks = 7;
// A partial without a peak of its own is not taken closer than this (bins) to another one: the
// fit could not tell them apart.
constexpr double kSameBins = 1.0;

double wrapPhase(double phase) {
    return phase - kTwoPi * std::floor(phase / kTwoPi + 0.5);
}

// Cholesky solve of the symmetric positive definite n×n system `a` (row-major) for each of
// `count` right-hand sides stored one after another in `rhs`; solutions overwrite them. The
// systems here are banded (far partials do not interact), so each row starts at its first
// non-zero entry, and so does its factor.
void solveSymmetric(double* a, int n, double* rhs, int count) {
    double trace = 0.0;
    for (int i = 0; i < n; ++i) {
        trace += a[i * n + i];
    }
    const double ridge = 1e-9 * trace / n + 1e-30;
    int start[32];
    for (int i = 0; i < n; ++i) {
        a[i * n + i] += ridge;
        start[i] = i;
        for (int k = 0; k < i; ++k) {
            if (a[i * n + k] != 0.0) {
                start[i] = k;
                break;
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = start[j]; k < j; ++k) {
            d -= a[j * n + k] * a[j * n + k];
        }
        d = std::sqrt(std::max(d, 1e-30));
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            if (start[i] > j) {
                continue;
            }
            double s = a[i * n + j];
            for (int k = std::max(start[i], start[j]); k < j; ++k) {
                s -= a[i * n + k] * a[j * n + k];
            }
            a[i * n + j] = s / d;
        }
    }
    for (int r = 0; r < count; ++r) {
        double* b = rhs + static_cast<std::ptrdiff_t>(r) * n;
        for (int i = 0; i < n; ++i) {
            double s = b[i];
            for (int k = start[i]; k < i; ++k) {
                s -= a[i * n + k] * b[k];
            }
            b[i] = s / a[i * n + i];
        }
        for (int i = n - 1; i >= 0; --i) {
            double s = b[i];
            for (int k = i + 1; k < n; ++k) {
                if (start[k] <= i) {
                    s -= a[k * n + i] * b[k];
                }
            }
            b[i] = s / a[i * n + i];
        }
    }
}

}  // namespace

void PartialAnalyzer::prepare(int frameSize, int channels, int maxPartials) {
    frameSize_ = frameSize;
    bins_ = frameSize / 2 + 1;
    channels_ = std::clamp(channels, 1, kMaxChannels);
    maxPartials_ = maxPartials;
    window_.prepare(frameSize, kHann, 40);
    const auto partials = static_cast<std::size_t>(maxPartials);
    power_.assign(static_cast<std::size_t>(bins_), 0.0F);
    peakBins_.assign(static_cast<std::size_t>(bins_), 0);
    previousSpectra_.assign(static_cast<std::size_t>(bins_) * static_cast<std::size_t>(channels_),
                            {});
    partials_.assign(partials, {});
    amplitudes_.assign(partials * static_cast<std::size_t>(channels_), {});
    taken_.assign(partials, 0);
    order_.assign(partials, 0);
    scratch_.assign(partials, {});
    noiseScratch_.assign(partials, {});
    inverse_.assign(partials, 0);
    regionStarts_.assign(partials + 1, 0);
    regionOwners_.assign(partials, 0);
    previousPartials_.assign(partials, {});
    previousAmplitudes_.assign(partials * static_cast<std::size_t>(channels_), {});
    previousRegionStarts_.assign(partials + 1, 0);
    previousRegionOwners_.assign(partials, 0);
    reset();
}

void PartialAnalyzer::reset() {
    count_ = 0;
    fitCount_ = 0;
    sinceSolved_ = 0;
    regionCount_ = 0;
    previousCount_ = 0;
    previousRegionCount_ = 0;
    hasPrevious_ = false;
}

void PartialAnalyzer::analyze(const std::complex<float>* const* spectra, int hop,
                              double ratioBefore, double ratioNow, bool jointFit,
                              double onsetFromCentre) {
    findPeaks(spectra);
    estimateFrequencies(spectra, hop);
    matchPrevious();
    continueHidden();
    fitAmplitudes(spectra, jointFit);
    refineFromPhaseAdvance(hop, true);
    // Close partials change slowly: solving for them once per eighth of a frame is enough,
    // however small the hop.
    sinceSolved_ += hop;
    if (jointFit && 8 * sinceSolved_ >= frameSize_) {
        sinceSolved_ = 0;
        solveCloseFrequencies(spectra);
        discoverHidden(spectra, jointFit);
    }
    findRegions();
    // Groups whose frequencies stayed put keep their amplitudes.
    fitAmplitudes(spectra, jointFit, !reordered_);
    reordered_ = false;
    refineFromPhaseAdvance(hop, false);
    judgeFit(spectra, jointFit);
    advanceOffsets(0.5 * (ratioBefore + ratioNow), ratioNow, onsetFromCentre);
    keepAsPrevious(spectra);
}

void PartialAnalyzer::findPeaks(const std::complex<float>* const* spectra) {
    float loudest = 0.0F;
    for (int k = 0; k < bins_; ++k) {
        float p = 0.0F;
        for (int c = 0; c < channels_; ++c) {
            p += std::norm(spectra[c][k]);
        }
        power_[static_cast<std::size_t>(k)] = p;
        loudest = std::max(loudest, p);
    }
    loudest_ = loudest;
    // −140 dBFS for a sinusoid: below the noise of any real source.
    const double quarter = 1e-7 * frameSize_ / 4.0;
    const auto floor = static_cast<float>(
        std::max(static_cast<double>(loudest) * kRelativeFloor, channels_ * quarter * quarter));
    // Room is kept for partials without peaks of their own; beyond it the weakest peaks go.
    const int maxPeaks = maxPartials_ * 2 / 3;
    int found = 0;
    const float* p = power_.data();
    for (int k = 2; k < bins_ - 3; ++k) {
        if (p[k] > floor && p[k] > p[k - 1] && p[k] >= p[k + 1]) {
            peakBins_[static_cast<std::size_t>(found++)] = k;
        }
    }
    if (found > maxPeaks) {
        const auto first = peakBins_.begin();
        std::nth_element(first, first + maxPeaks, first + found,
                         [p](int a, int b) { return p[a] > p[b]; });
        found = maxPeaks;
        std::sort(first, first + found);
    }
    for (int j = 0; j < found; ++j) {
        partials_[static_cast<std::size_t>(j)] =
            Partial{.peakBin = peakBins_[static_cast<std::size_t>(j)]};
    }
    count_ = found;
}

void PartialAnalyzer::estimateFrequencies(const std::complex<float>* const* spectra, int hop) {
    const double binsPerRadian = frameSize_ / (kTwoPi * hop);
    for (int j = 0; j < count_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        const int k = partial.peakBin;
        // From the shape of the peak: a parabola through the logarithms of its power.
        const double a = std::log(power_[static_cast<std::size_t>(k) - 1] + 1e-30);
        const double b = std::log(power_[static_cast<std::size_t>(k)] + 1e-30);
        const double c = std::log(power_[static_cast<std::size_t>(k) + 1] + 1e-30);
        const double curvature = a - 2.0 * b + c;
        const double fromShape = k + (curvature < 0.0 ? 0.5 * (a - c) / curvature : 0.0);
        partial.bins = fromShape;
        // From the phase advance of the peak bin since the previous frame: exact for a steady
        // partial that dominates its bin. Where the two disagree, the peak is noise.
        if (hasPrevious_) {
            std::complex<double> cross;
            for (int ch = 0; ch < channels_; ++ch) {
                cross += std::complex<double>(spectra[ch][k]) *
                         std::conj(std::complex<double>(previousSpectra_[spectrumIndex(ch, k)]));
            }
            if (std::abs(cross) > 0.0) {
                const double expected = kTwoPi * k * hop / frameSize_;
                const double nu = k + wrapPhase(std::arg(cross) - expected) * binsPerRadian;
                if (std::abs(nu - k) <= 1.0) {
                    partial.bins = nu;
                }
                partial.isNoise = std::abs(nu - fromShape) > kTonalAgreement;
            }
        }
        partial.advance = kTwoPi * partial.bins * hop / frameSize_;
    }
}

bool PartialAnalyzer::crowded(int peak) const {
    // Noise has peaks every few bins; close partials of music, whose peaks merge and so look
    // like noise too, have far fewer around them.
    const int bin = partials_[static_cast<std::size_t>(peak)].peakBin;
    int count = 0;
    for (int j = peak - 1;
         j >= 0 && partials_[static_cast<std::size_t>(j)].peakBin >= bin - kCrowdReach; --j) {
        ++count;
    }
    for (int j = peak + 1;
         j < count_ && partials_[static_cast<std::size_t>(j)].peakBin <= bin + kCrowdReach; ++j) {
        ++count;
    }
    return count >= kCrowdPeaks;
}

void PartialAnalyzer::matchPrevious() {
    // Both lists are in frequency order; each current partial takes the nearest free previous
    // one within a bin, which follows any partial that glides by less than a bin per frame.
    std::fill(taken_.begin(), taken_.begin() + previousCount_, 0);
    int i = 0;
    int lastTaken = -1;
    for (int j = 0; j < count_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        const double nu = partial.bins;
        while (i < previousCount_ &&
               previousPartials_[static_cast<std::size_t>(i)].bins < nu - 1.0) {
            ++i;
        }
        int best = -1;
        double bestDistance = 1.0;
        for (int t = std::max(i, lastTaken + 1); t < previousCount_; ++t) {
            const double d = std::abs(previousPartials_[static_cast<std::size_t>(t)].bins - nu);
            if (previousPartials_[static_cast<std::size_t>(t)].bins > nu + 1.0) {
                break;
            }
            if (d < bestDistance) {
                bestDistance = d;
                best = t;
            }
        }
        partial.previous = best;
        if (best >= 0) {
            lastTaken = best;
            taken_[static_cast<std::size_t>(best)] = 1;
        }
    }
    // Among many peaks (noise has one every few bins) a peak is fitted only when its shape and
    // phase advance agreed in this frame and the one before, or the fit explained it lately;
    // elsewhere every peak is (close partials of music merge into peaks that look like noise).
    // A followed partial starts from where it was: the peak of a lobe shared with a close
    // neighbour says little about either, and the phase advance corrects a glide.
    for (int j = 0; j < count_; ++j) {
        partials_[static_cast<std::size_t>(j)].isCrowded = crowded(j);
    }
    for (int j = 0; j < count_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        const Partial* previous =
            partial.previous >= 0 ? &previousPartials_[static_cast<std::size_t>(partial.previous)]
                                  : nullptr;
        const bool explained =
            previous != nullptr && previous->hasFitted && previous->misfits <= kGraceFrames;
        const bool steady = !partial.isNoise && previous != nullptr && !previous->isNoise;
        partial.isNoise = partial.isCrowded && !steady && !explained;
        if (previous != nullptr && !partial.isNoise) {
            partial.bins = previous->bins;
        }
    }
}

void PartialAnalyzer::addPartial(double bins, std::int32_t previous) {
    if (count_ >= maxPartials_ || bins < 1.0 || bins > bins_ - 2.0) {
        return;
    }
    for (int j = 0; j < count_; ++j) {
        if (std::abs(partials_[static_cast<std::size_t>(j)].bins - bins) < kSameBins) {
            return;
        }
    }
    partials_[static_cast<std::size_t>(count_++)] = Partial{.bins = bins, .previous = previous};
}

void PartialAnalyzer::continueHidden() {
    // A partial that the fit explained last frame but that has no peak now (a louder neighbour
    // swallowed it) is looked for where it was.
    double loudest = 0.0;
    for (int q = 0; q < previousCount_; ++q) {
        double own = 0.0;
        for (int c = 0; c < channels_; ++c) {
            own += std::norm(previousAmplitudes_[amplitudeIndex(q, c)]);
        }
        loudest = std::max(loudest, own);
    }
    for (int q = 0; q < previousCount_; ++q) {
        const Partial& previous = previousPartials_[static_cast<std::size_t>(q)];
        if (taken_[static_cast<std::size_t>(q)] != 0 || previous.misfits > kGraceFrames ||
            !previous.hasFitted || (previous.age < kSettledFrames && !previous.fitsWell)) {
            continue;
        }
        double own = 0.0;
        for (int c = 0; c < channels_; ++c) {
            own += std::norm(previousAmplitudes_[amplitudeIndex(q, c)]);
        }
        if (own >= kHiddenFloor * loudest) {
            addPartial(previous.bins, q);
        }
    }
    sortPartials();
}

std::complex<double> PartialAnalyzer::model(int first, int n, int bin, int channel, int& from,
                                            int& to) const {
    nearby(first, n, bin, from, to);
    std::complex<double> sum;
    for (int l = first + from; l < first + to; ++l) {
        const double nu = partials_[static_cast<std::size_t>(l)].bins;
        const std::complex<double> z(amplitude(l, channel));
        sum += z * static_cast<double>(window_.at(bin - nu)) +
               std::conj(z) * static_cast<double>(mirrorAt(bin, nu));
    }
    return sum;
}

void PartialAnalyzer::discoverHidden(const std::complex<float>* const* spectra, bool jointFit) {
    // Where the fit of a group of partials leaves a peak of unexplained power, one more
    // partial is taken to hide there (close partials that never showed peaks of their own).
    const int known = fitCount_;
    const int before = count_;
    for (int first = 0; first < known;) {
        const int end = clusterEnd(first, jointFit);
        const int n = end - first;
        const int lo = std::max(
            1,
            static_cast<int>(std::lround(partials_[static_cast<std::size_t>(first)].bins)) - kLobe);
        const int hi = std::min(
            bins_ - 2,
            static_cast<int>(std::lround(partials_[static_cast<std::size_t>(end - 1)].bins)) +
                kLobe);
        int from = 0;
        int to = 0;
        double best = 0.0;
        int bestBin = -1;
        double below = 0.0;
        double at = 0.0;
        double unexplained = 0.0;
        double held = 0.0;
        for (int k = lo - 1; k <= hi + 1; ++k) {
            double residual = 0.0;
            for (int c = 0; c < channels_; ++c) {
                residual += std::norm(std::complex<double>(spectra[c][k]) -
                                      model(first, n, k, c, from, to));
            }
            unexplained += residual;
            held += power_[static_cast<std::size_t>(k)];
            // A local maximum of the unexplained power one bin back.
            if (k > lo && k - 1 <= hi && at > below && at >= residual &&
                at >= kDiscoverShare * power_[static_cast<std::size_t>(k) - 1] && at > best) {
                best = at;
                bestBin = k - 1;
            }
            below = at;
            at = residual;
        }
        // Noise leaves peaks of unexplained power everywhere; only a group the fit mostly
        // explains has a partial missing.
        if (bestBin > 0 && unexplained <= kNoiseShare * held) {
            addPartial(bestBin + unexplainedPeakOffset(spectra, first, n, bestBin), -1);
        }
        first = end;
    }
    if (count_ > before) {
        sortPartials();
    }
}

double PartialAnalyzer::unexplainedPeakOffset(const std::complex<float>* const* spectra, int first,
                                              int n, int bin) const {
    // A parabola through the logarithms of the unexplained power around its peak.
    double level[3];
    int from = 0;
    int to = 0;
    for (int i = 0; i < 3; ++i) {
        double residual = 0.0;
        for (int c = 0; c < channels_; ++c) {
            residual += std::norm(std::complex<double>(spectra[c][bin - 1 + i]) -
                                  model(first, n, bin - 1 + i, c, from, to));
        }
        level[i] = std::log(residual + 1e-30);
    }
    const double curvature = level[0] - 2.0 * level[1] + level[2];
    return curvature < 0.0 ? std::clamp(0.5 * (level[0] - level[2]) / curvature, -0.5, 0.5) : 0.0;
}

void PartialAnalyzer::solveCloseFrequencies(const std::complex<float>* const* spectra) {
    // Partials within each other's main lobe bias each other's peaks and phase advances;
    // where such a run's fit leaves much unexplained, its frequencies are solved together with
    // the amplitudes (Gauss-Newton on the frequencies, the amplitudes refitted at every step).
    // Farther partials take part in the model only.
    for (int first = 0; first < fitCount_;) {
        const int end = clusterEnd(first, true);
        for (int run = first; run < end;) {
            int runEnd = run + 1;
            while (runEnd < end && partials_[static_cast<std::size_t>(runEnd)].bins -
                                           partials_[static_cast<std::size_t>(runEnd - 1)].bins <
                                       kLobeOverlap) {
                ++runEnd;
            }
            double unexplained = 1.0;
            for (int iteration = 0; runEnd - run > 1 && iteration < kFrequencySteps; ++iteration) {
                const double before = unexplained;
                unexplained = stepFrequencies(spectra, first, end - first, run, runEnd);
                // Converged, or decaying and gliding partials the step cannot help.
                if (unexplained <= kSolvedShare || unexplained > kNoiseShare ||
                    unexplained > 0.8 * before) {
                    break;
                }
                fitCluster(spectra, first, end);
            }
            run = runEnd;
        }
        first = end;
    }
}

double PartialAnalyzer::stepFrequencies(const std::complex<float>* const* spectra, int first, int n,
                                        int runFirst, int runEnd) {
    const int lo = std::max(
        1,
        static_cast<int>(std::lround(partials_[static_cast<std::size_t>(runFirst)].bins)) - kLobe);
    const int hi = std::min(
        bins_ - 2,
        static_cast<int>(std::lround(partials_[static_cast<std::size_t>(runEnd - 1)].bins)) +
            kLobe);
    const int m = runEnd - runFirst;
    double normal[kMaxCluster * kMaxCluster] = {};
    double gradient[kMaxCluster] = {};
    std::complex<double> derivative[kMaxCluster];
    double residualEnergy = 0.0;
    double ownEnergy = 0.0;
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        for (int ch = 0; ch < channels_; ++ch) {
            const std::complex<double> r =
                std::complex<double>(spectra[ch][k]) - model(first, n, k, ch, from, to);
            residualEnergy += std::norm(r);
            ownEnergy += std::norm(std::complex<double>(spectra[ch][k]));
            for (int j = 0; j < m; ++j) {
                const double nu =
                    partials_[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)]
                        .bins;
                derivative[j] = -std::complex<double>(amplitude(runFirst + j, ch)) *
                                static_cast<double>(window_.slope(k - nu));
            }
            for (int j = 0; j < m; ++j) {
                gradient[j] += std::real(std::conj(derivative[j]) * r);
                for (int l = 0; l <= j; ++l) {
                    normal[j * m + l] += std::real(std::conj(derivative[j]) * derivative[l]);
                }
            }
        }
    }
    const double unexplained = ownEnergy > 0.0 ? residualEnergy / ownEnergy : 0.0;
    if (unexplained <= kSolvedShare) {
        return unexplained;
    }
    for (int j = 0; j < m; ++j) {
        for (int l = 0; l < j; ++l) {
            normal[l * m + j] = normal[j * m + l];
        }
    }
    solveSymmetric(normal, m, gradient, 1);
    for (int j = 0; j < m; ++j) {
        Partial& partial =
            partials_[static_cast<std::size_t>(runFirst) + static_cast<std::size_t>(j)];
        partial.bins += std::clamp(gradient[j], -kLargestFrequencyStep, kLargestFrequencyStep);
        partial.moved = true;
    }
    // Steps may reorder neighbours; the fit needs them in order.
    std::sort(partials_.begin() + runFirst, partials_.begin() + runEnd,
              [](const Partial& a, const Partial& b) { return a.bins < b.bins; });
    return unexplained;
}

void PartialAnalyzer::sortPartials() {
    // Partials to fit first, in order of frequency; noise peaks after them. Amplitudes are
    // fitted after every reordering, so only the partials move. The partials come as a few
    // runs already in order (peaks, then followed or found ones), so merging is enough.
    reordered_ = true;
    int fitted = 0;
    int noise = 0;
    for (int j = 0; j < count_; ++j) {
        const Partial& partial = partials_[static_cast<std::size_t>(j)];
        (partial.isNoise ? noiseScratch_[static_cast<std::size_t>(noise++)]
                         : scratch_[static_cast<std::size_t>(fitted++)]) = partial;
    }
    const auto byFrequency = [](const Partial& a, const Partial& b) { return a.bins < b.bins; };
    const auto first = scratch_.begin();
    const auto end = first + fitted;
    const auto split = std::is_sorted_until(first, end, byFrequency);
    if (std::is_sorted(split, end, byFrequency)) {
        std::merge(first, split, split, end, partials_.begin(), byFrequency);
    } else {
        std::sort(first, end, byFrequency);
        std::copy(first, end, partials_.begin());
    }
    std::copy(noiseScratch_.begin(), noiseScratch_.begin() + noise, partials_.begin() + fitted);
    fitCount_ = fitted;
}

void PartialAnalyzer::mergeByFrequency(const std::int32_t* a, int aCount, const std::int32_t* b,
                                       int bCount, std::int32_t* out, bool byPeak) const {
    const auto key = [this, byPeak](std::int32_t j) {
        const Partial& partial = partials_[static_cast<std::size_t>(j)];
        return byPeak ? static_cast<double>(partial.peakBin) : partial.bins;
    };
    const auto less = [&key](std::int32_t x, std::int32_t y) { return key(x) < key(y); };
    std::merge(a, a + aCount, b, b + bCount, out, less);
    // Frequencies stay within a bin of their peaks, so rarely the two orders differ.
    if (!std::is_sorted(out, out + aCount + bCount, less)) {
        std::sort(out, out + aCount + bCount, less);
    }
}

void PartialAnalyzer::findRegions() {
    // Each peak owns the bins down to the lowest point between it and its neighbours; the
    // peaks among the fitted partials and the noise peaks are each in order already.
    int fitted = 0;
    int noise = 0;
    for (int j = 0; j < count_; ++j) {
        if (partials_[static_cast<std::size_t>(j)].peakBin >= 0) {
            if (j < fitCount_) {
                order_[static_cast<std::size_t>(fitted++)] = j;
            } else {
                inverse_[static_cast<std::size_t>(noise++)] = j;
            }
        }
    }
    regionCount_ = fitted + noise;
    mergeByFrequency(order_.data(), fitted, inverse_.data(), noise, regionOwners_.data(), true);
    const auto peakOf = [this](std::int32_t j) {
        return partials_[static_cast<std::size_t>(j)].peakBin;
    };
    const float* p = power_.data();
    regionStarts_[0] = 1;
    for (int r = 1; r < regionCount_; ++r) {
        const int top = peakOf(regionOwners_[static_cast<std::size_t>(r)]);
        int low = peakOf(regionOwners_[static_cast<std::size_t>(r - 1)]) + 1;
        for (int k = low + 1; k <= top; ++k) {
            if (p[k] < p[low]) {
                low = k;
            }
        }
        regionStarts_[static_cast<std::size_t>(r)] = low;
    }
    regionStarts_[static_cast<std::size_t>(regionCount_)] = bins_ - 1;
}

int PartialAnalyzer::clusterEnd(int first, bool jointFit) const {
    int end = first + 1;
    if (!jointFit) {
        return end;
    }
    while (end < fitCount_ && end - first < kMaxCluster &&
           partials_[static_cast<std::size_t>(end)].bins -
                   partials_[static_cast<std::size_t>(end - 1)].bins <
               kClusterGap) {
        ++end;
    }
    return end;
}

void PartialAnalyzer::fitAmplitudes(const std::complex<float>* const* spectra, bool jointFit,
                                    bool onlyMoved) {
    for (int first = 0; first < fitCount_;) {
        const int end = clusterEnd(first, jointFit);
        bool moved = !onlyMoved;
        for (int j = first; j < end; ++j) {
            moved = moved || partials_[static_cast<std::size_t>(j)].moved;
            partials_[static_cast<std::size_t>(j)].moved = false;
        }
        if (moved) {
            fitCluster(spectra, first, end);
        }
        first = end;
    }
}

void PartialAnalyzer::fitCluster(const std::complex<float>* const* spectra, int first, int last) {
    const int n = last - first;
    const int lo = std::max(
        0, static_cast<int>(std::lround(partials_[static_cast<std::size_t>(first)].bins)) - kLobe);
    const int hi = std::min(
        bins_ - 1,
        static_cast<int>(std::lround(partials_[static_cast<std::size_t>(last - 1)].bins)) + kLobe);

    // Real and imaginary parts of the data decouple: Re X = Σ x_j·B_j and Im X = Σ y_j·C_j,
    // with B and C the window transform at the partial plus or minus its mirror images. Only
    // partials near a bin reach it; farther ones are below the fit's tolerance there.
    double gramB[kMaxCluster * kMaxCluster] = {};
    double gramC[kMaxCluster * kMaxCluster] = {};
    double rhsB[kMaxChannels * kMaxCluster] = {};
    double rhsC[kMaxChannels * kMaxCluster] = {};
    float b[kMaxCluster];
    float c[kMaxCluster];
    int from = 0;
    int to = 0;
    for (int k = lo; k <= hi; ++k) {
        nearby(first, n, k, from, to);
        for (int j = from; j < to; ++j) {
            const double nu =
                partials_[static_cast<std::size_t>(first) + static_cast<std::size_t>(j)].bins;
            const float direct = window_.at(k - nu);
            const float mirror = mirrorAt(k, nu);
            b[j] = direct + mirror;
            c[j] = direct - mirror;
        }
        for (int j = from; j < to; ++j) {
            for (int l = from; l <= j; ++l) {
                gramB[j * n + l] += static_cast<double>(b[j]) * b[l];
                gramC[j * n + l] += static_cast<double>(c[j]) * c[l];
            }
            for (int ch = 0; ch < channels_; ++ch) {
                const std::complex<float> x = spectra[ch][k];
                rhsB[ch * n + j] += static_cast<double>(x.real()) * b[j];
                rhsC[ch * n + j] += static_cast<double>(x.imag()) * c[j];
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        for (int l = 0; l < j; ++l) {
            gramB[l * n + j] = gramB[j * n + l];
            gramC[l * n + j] = gramC[j * n + l];
        }
    }
    solveSymmetric(gramB, n, rhsB, channels_);
    solveSymmetric(gramC, n, rhsC, channels_);
    for (int j = 0; j < n; ++j) {
        for (int ch = 0; ch < channels_; ++ch) {
            amplitudes_[amplitudeIndex(first + j, ch)] = {static_cast<float>(rhsB[ch * n + j]),
                                                          static_cast<float>(rhsC[ch * n + j])};
        }
    }
}

void PartialAnalyzer::nearby(int first, int n, int bin, int& from, int& to) const {
    while (from < n &&
           partials_[static_cast<std::size_t>(first) + static_cast<std::size_t>(from)].bins <=
               bin - kReach) {
        ++from;
    }
    to = std::max(to, from);
    while (to < n &&
           partials_[static_cast<std::size_t>(first) + static_cast<std::size_t>(to)].bins <
               bin + kReach) {
        ++to;
    }
}

float PartialAnalyzer::mirrorAt(int bin, double nu) const {
    // The images at −ν and N − ν matter only near DC and the Nyquist frequency.
    const double image = frameSize_;
    if (bin + nu >= kReach && bin + nu - image <= -kReach) {
        return 0.0F;
    }
    return window_.at(bin + nu) + window_.at(bin + nu - image);
}

void PartialAnalyzer::refineFromPhaseAdvance(int hop, bool updateFrequencies) {
    const double binsPerRadian = frameSize_ / (kTwoPi * hop);
    // A phase error turns into a frequency error inversely proportional to the hop; below an
    // eighth of the frame the measurements are averaged over about that span instead.
    const double gain = std::min(1.0, 8.0 * hop / frameSize_);
    for (int j = 0; j < fitCount_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        const int before = partial.previous;
        const double expected = kTwoPi * partial.bins * hop / frameSize_;
        partial.advance = expected;
        if (before < 0) {
            continue;
        }
        std::complex<double> cross;
        for (int c = 0; c < channels_; ++c) {
            cross +=
                std::complex<double>(amplitude(j, c)) *
                std::conj(std::complex<double>(previousAmplitudes_[amplitudeIndex(before, c)]));
        }
        if (std::abs(cross) == 0.0) {
            continue;
        }
        partial.advance = expected + wrapPhase(std::arg(cross) - expected);
        const double nu = partial.advance * binsPerRadian;
        if (updateFrequencies && std::abs(nu - partial.bins) < 0.5) {
            const double then = previousPartials_[static_cast<std::size_t>(before)].bins;
            const double was = partial.bins;
            partial.bins = std::abs(nu - then) < 0.5 ? then + gain * (nu - then) : nu;
            partial.moved = std::abs(partial.bins - was) > kRefitBins;
        }
    }
}

void PartialAnalyzer::judgeFit(const std::complex<float>* const* spectra, bool jointFit) {
    for (int j = fitCount_; j < count_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        const Partial* previous =
            partial.previous >= 0 ? &previousPartials_[static_cast<std::size_t>(partial.previous)]
                                  : nullptr;
        partial.fitsWell = false;
        partial.isShifted = false;
        partial.hasFitted = previous != nullptr && previous->hasFitted;
        partial.misfits = (previous != nullptr ? previous->misfits : kGraceFrames) + 1;
        // Not fitted: no amplitude for the next frame to measure a phase advance against.
        for (int c = 0; c < channels_; ++c) {
            amplitudes_[amplitudeIndex(j, c)] = {};
        }
    }
    for (int first = 0; first < fitCount_;) {
        const int end = clusterEnd(first, jointFit);
        const int n = end - first;
        for (int j = first; j < end; ++j) {
            Partial& partial = partials_[static_cast<std::size_t>(j)];
            const int centre = static_cast<int>(std::lround(partial.bins));
            double residual = 0.0;
            double own = 0.0;
            int from = 0;
            int to = 0;
            for (int k = std::max(0, centre - kLobe); k <= std::min(bins_ - 1, centre + kLobe);
                 ++k) {
                const double direct = window_.at(k - partial.bins);
                for (int ch = 0; ch < channels_; ++ch) {
                    own += std::norm(std::complex<double>(amplitude(j, ch))) * direct * direct;
                    residual += std::norm(std::complex<double>(spectra[ch][k]) -
                                          model(first, n, k, ch, from, to));
                }
            }
            // A fit that explains the bins with much more energy than they hold is two close
            // partials cancelling each other, not a description of the sound.
            double held = 0.0;
            for (int ch = 0; ch < channels_; ++ch) {
                held += std::norm(spectra[ch][std::clamp(centre, 0, bins_ - 1)]);
            }
            const double peak = static_cast<double>(window_.at(0.0));
            double fitted = 0.0;
            for (int ch = 0; ch < channels_; ++ch) {
                fitted += std::norm(std::complex<double>(amplitude(j, ch))) * peak * peak;
            }
            const bool plausible = fitted <= 4.0 * held;
            const double share = own > 0.0 && plausible ? residual / own : 1e30;
            partial.fitsWell = share <= kFitTolerance;
            partial.hasFitted =
                partial.fitsWell ||
                (partial.previous >= 0 &&
                 previousPartials_[static_cast<std::size_t>(partial.previous)].hasFitted);
            partial.isShifted = partial.fitsWell && partial.previous >= 0;
            partial.misfits =
                partial.fitsWell
                    ? 0
                    : (partial.previous >= 0
                           ? previousPartials_[static_cast<std::size_t>(partial.previous)].misfits
                           : kGraceFrames) +
                          1;
        }
        first = end;
    }
}

void PartialAnalyzer::advanceOffsets(double meanRatio, double ratioNow, double onsetFromCentre) {
    const double radiansPerBin = kTwoPi / frameSize_;
    for (int j = 0; j < count_; ++j) {
        Partial& partial = partials_[static_cast<std::size_t>(j)];
        if (partial.previous >= 0) {
            const Partial& previous = previousPartials_[static_cast<std::size_t>(partial.previous)];
            partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
            partial.age = previous.age + 1;
            continue;
        }
        partial.age = 0;
        const int bin =
            partial.peakBin >= 0 ? partial.peakBin : static_cast<int>(std::lround(partial.bins));
        const int owner = previousOwner(bin, onsetFromCentre != 0.0);
        if (owner >= 0) {
            // A partial that was already sounding under another one's peak (peaks of close
            // partials come and go as they beat) carries on with that peak's offset:
            // restarting it would undo the shift gathered so far.
            const Partial& previous = previousPartials_[static_cast<std::size_t>(owner)];
            partial.offset = wrapPhase(previous.offset + (meanRatio - 1.0) * partial.advance);
        } else {
            partial.offset =
                wrapPhase(-(ratioNow - 1.0) * partial.bins * radiansPerBin * onsetFromCentre);
        }
    }
}

int PartialAnalyzer::previousOwner(int bin, bool attack) const {
    if (!hasPrevious_ || previousRegionCount_ == 0) {
        return -1;
    }
    // Only where the bin already held most of its energy: a peak that rises out of nowhere, or
    // that grows in a frame with an attack, is new sound and starts aligned with the attack.
    // (Close partials that beat look like attacks too, but they are followed as partials, so
    // their offsets do not restart.)
    double then = 0.0;
    for (int c = 0; c < channels_; ++c) {
        then += std::norm(previousSpectra_[spectrumIndex(c, bin)]);
    }
    if ((attack ? 1.5 : 4.0) * then < power_[static_cast<std::size_t>(bin)]) {
        return -1;
    }
    const auto first = previousRegionStarts_.begin();
    const auto last = first + previousRegionCount_;
    const auto above = std::upper_bound(first + 1, last, bin);
    return previousRegionOwners_[static_cast<std::size_t>(above - first - 1)];
}

void PartialAnalyzer::keepAsPrevious(const std::complex<float>* const* spectra) {
    for (int c = 0; c < channels_; ++c) {
        std::copy(spectra[c], spectra[c] + bins_,
                  previousSpectra_.begin() + static_cast<std::ptrdiff_t>(spectrumIndex(c, 0)));
    }
    hasPrevious_ = true;
    // Kept in order of frequency, as the next frame's matching walks them: the fitted
    // partials and the noise peaks are each in order already.
    for (int j = 0; j < count_; ++j) {
        inverse_[static_cast<std::size_t>(j)] = j;
    }
    mergeByFrequency(inverse_.data(), fitCount_, inverse_.data() + fitCount_, count_ - fitCount_,
                     order_.data(), false);
    for (int i = 0; i < count_; ++i) {
        const int j = order_[static_cast<std::size_t>(i)];
        previousPartials_[static_cast<std::size_t>(i)] = partials_[static_cast<std::size_t>(j)];
        for (int c = 0; c < channels_; ++c) {
            previousAmplitudes_[amplitudeIndex(i, c)] = amplitudes_[amplitudeIndex(j, c)];
        }
        inverse_[static_cast<std::size_t>(j)] = i;
    }
    std::copy(regionStarts_.begin(), regionStarts_.begin() + regionCount_ + 1,
              previousRegionStarts_.begin());
    for (int r = 0; r < regionCount_; ++r) {
        previousRegionOwners_[static_cast<std::size_t>(r)] =
            inverse_[static_cast<std::size_t>(regionOwners_[static_cast<std::size_t>(r)])];
    }
    previousCount_ = count_;
    previousRegionCount_ = regionCount_;
}

}  // namespace brimo::timepitch
