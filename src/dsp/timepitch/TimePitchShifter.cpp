#include "dsp/timepitch/TimePitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace brimo::timepitch {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Partials followed per frame: up to two thirds of them peaks; beyond that the weakest peaks
// are not followed, and move with the region of a louder one.
constexpr int kMaxPartials = 768;

// The analysis frame: about 64 ms, the longest whose look-ahead keeps the whole chain under
// 50 ms, rounded down to a size of only factors 2 and 3 so the FFT stays fast.
int frameSizeFor(double sampleRate) {
    const double wanted = std::max(256.0, 0.064 * sampleRate);
    int best = 256;
    for (int two = 256; two <= wanted; two *= 2) {
        for (int size = two; size <= wanted; size *= 3) {
            best = std::max(best, size);
        }
    }
    return best;
}

// Loads a parameter value clamped to its range; NaN keeps the old value.
void storeClamped(std::atomic<float>& target, float value, float lo, float hi) {
    if (!std::isnan(value)) {
        target.store(std::clamp(value, lo, hi), std::memory_order_relaxed);
    }
}

}  // namespace

TimePitchShifter::TimePitchShifter() = default;

void TimePitchShifter::setPitchCents(float cents) {
    storeClamped(pitchCents_, cents, kMinCents, kMaxCents);
}
void TimePitchShifter::setRate(float rate) {
    storeClamped(rate_, rate, kMinRate, kMaxRate);
}
void TimePitchShifter::setOverlap(float overlap) {
    storeClamped(overlap_, overlap, kMinOverlap, kMaxOverlap);
}
void TimePitchShifter::setPeakLocking(bool enabled) {
    peakLocking_.store(enabled, std::memory_order_relaxed);
}

void TimePitchShifter::prepare(double sampleRate, int channels, std::uint32_t maxFramesPerSlice) {
    sampleRate_ = sampleRate;
    channels_ = std::clamp(channels, 1, PartialAnalyzer::kMaxChannels);
    maxFrames_ = std::max<std::uint32_t>(1, maxFramesPerSlice);
    frameSize_ = frameSizeFor(sampleRate);
    maxHop_ = frameSize_ / 3;
    capacity_ = 2 * (static_cast<std::int64_t>(frameSize_) + maxFrames_ + 3 * maxHop_);

    tempo_.prepare(channels_, maxFrames_, maxFrames_);
    fft_.prepare(frameSize_);
    analyzer_.prepare(frameSize_, channels_, kMaxPartials);
    spectral_.prepare(frameSize_, channels_, maxHop_);
    window_.resize(static_cast<std::size_t>(frameSize_));
    for (int i = 0; i < frameSize_; ++i) {
        window_[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * i / frameSize_));
    }
    const auto bins = static_cast<std::size_t>(frameSize_ / 2) + 1;
    spectra_.assign(bins * static_cast<std::size_t>(channels_), {});
    spectraPointers_.resize(static_cast<std::size_t>(channels_));
    pullPointers_.resize(static_cast<std::size_t>(channels_));
    for (int c = 0; c < channels_; ++c) {
        spectraPointers_[static_cast<std::size_t>(c)] = spectra_.data() + bins * c;
    }
    input_.assign(static_cast<std::size_t>(capacity_ * channels_), 0.0F);
    correction_.assign(static_cast<std::size_t>(capacity_ * channels_), 0.0F);
    frameRate_.assign(static_cast<std::size_t>(capacity_), 1.0F);
    energySums_.assign(static_cast<std::size_t>(capacity_ + 1), 0.0);
    rise_.reserve(static_cast<std::size_t>(maxHop_) + 1);
    fall_.reserve(static_cast<std::size_t>(maxHop_) + 1);
    reset();
}

void TimePitchShifter::reset() {
    std::fill(input_.begin(), input_.end(), 0.0F);
    std::fill(correction_.begin(), correction_.end(), 0.0F);
    std::fill(frameRate_.begin(), frameRate_.end(), 1.0F);
    std::fill(energySums_.begin(), energySums_.end(), 0.0);
    tempo_.reset();
    analyzer_.reset();
    base_ = -frameSize_;
    inputEnd_ = 0;
    readPosition_ = 0;
    lastCentre_ = 0;
    nextCentre_ = 0;
    lastHop_ = 0;
    lastRatio_ = 1.0;
}

std::uint32_t TimePitchShifter::latencyFrames() const {
    const int hop = static_cast<int>(std::lround(frameSize_ / overlap()));
    return static_cast<std::uint32_t>(frameSize_ / 2 + hop + TempoResampler::latencyFrames());
}

bool TimePitchShifter::render(std::uint32_t frames, float* const* output, SourcePull source) {
    if (frames > maxFrames_ || frameSize_ == 0) {
        return false;
    }
    const double pitchRatio = std::exp2(static_cast<double>(pitchCents()) / 1200.0);
    renderRate_ =
        std::clamp(static_cast<double>(rate()), TempoResampler::kMinRate, TempoResampler::kMaxRate);
    const bool jointFit = peakLocking();
    const std::int64_t end = readPosition_ + frames;
    // Output is final up to the centre of the last frame analysed.
    while (lastCentre_ < end) {
        processFrame(pitchRatio, jointFit, source);
    }
    for (int c = 0; c < channels_; ++c) {
        const float* x = at(input_, c, readPosition_);
        const float* y = at(correction_, c, readPosition_);
        float* out = output[c];
        for (std::uint32_t i = 0; i < frames; ++i) {
            out[i] = x[i] + y[i];
        }
    }
    readPosition_ = end;
    return true;
}

void TimePitchShifter::processFrame(double pitchRatio, bool jointFit, SourcePull source) {
    const int hop = std::clamp(static_cast<int>(std::lround(frameSize_ / overlap())), 1, maxHop_);
    const std::int64_t centre = nextCentre_;
    const int before = static_cast<int>(centre - lastCentre_);
    const int half = frameSize_ / 2;
    makeRoom(std::min(readPosition_, centre - half), centre + half + maxHop_);
    pullUntil(centre + half, source);
    // The tempo resampler moved this frame's pitch by its rate; the shift takes that back.
    const double ratio = pitchRatio / static_cast<double>(*at(frameRate_, 0, centre));
    analyseFrame(centre);
    if (before > 0) {
        analyzer_.analyze(spectraPointers_.data(), before, lastRatio_, ratio, jointFit,
                          latestOnset(centre));
        addCorrection(centre, before, hop, ratio);
    }
    lastCentre_ = centre;
    nextCentre_ = centre + hop;
    lastRatio_ = ratio;
}

void TimePitchShifter::makeRoom(std::int64_t keepFrom, std::int64_t end) {
    if (end - base_ <= capacity_) {
        return;
    }
    const std::int64_t shift = keepFrom - base_;
    const auto kept = static_cast<std::size_t>(capacity_ - shift);
    for (int c = 0; c < channels_; ++c) {
        for (auto* buffer : {&input_, &correction_}) {
            float* start = buffer->data() + static_cast<std::ptrdiff_t>(c) * capacity_;
            std::memmove(start, start + shift, kept * sizeof(float));
            std::fill(start + kept, start + capacity_, 0.0F);
        }
    }
    std::memmove(frameRate_.data(), frameRate_.data() + shift, kept * sizeof(float));
    // Running sums restart at the new base so they keep their precision.
    const double offset = energySums_[static_cast<std::size_t>(shift)];
    for (std::size_t i = 0; i + static_cast<std::size_t>(shift) < energySums_.size(); ++i) {
        energySums_[i] = energySums_[i + static_cast<std::size_t>(shift)] - offset;
    }
    base_ = keepFrom;
}

void TimePitchShifter::pullUntil(std::int64_t end, SourcePull source) {
    while (inputEnd_ < end) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(maxFrames_, end - inputEnd_));
        for (int c = 0; c < channels_; ++c) {
            pullPointers_[static_cast<std::size_t>(c)] = at(input_, c, inputEnd_);
        }
        tempo_.produce(pullPointers_.data(), frames, renderRate_, source);
        float* rates = at(frameRate_, 0, inputEnd_);
        std::fill(rates, rates + frames, static_cast<float>(renderRate_));
        addEnergy(inputEnd_, inputEnd_ + frames);
        inputEnd_ += frames;
    }
}

void TimePitchShifter::analyseFrame(std::int64_t centre) {
    const int bins = frameSize_ / 2 + 1;
    for (int c = 0; c < channels_; ++c) {
        const float* x = at(input_, c, centre - frameSize_ / 2);
        float* in = fft_.input();
        for (int i = 0; i < frameSize_; ++i) {
            in[i] = x[i] * window_[static_cast<std::size_t>(i)];
        }
        auto* spectrum = spectra_.data() + static_cast<std::ptrdiff_t>(bins) * c;
        fft_.forward(spectrum);
        // Phases relative to the frame centre rather than its first sample.
        for (int k = 1; k < bins; k += 2) {
            spectrum[k] = -spectrum[k];
        }
    }
}

double TimePitchShifter::latestOnset(std::int64_t centre) {
    // Energy in short blocks across the frame. An attack is where the next four blocks hold
    // at least twice the energy of the eight before, starting with a block that already
    // rises; the spans are long enough that a steady low tone's own ripple never passes. The
    // latest attack counts, as partials are born at it.
    constexpr int kBlock = 64;
    constexpr int kBefore = 8;
    constexpr int kAfter = 4;
    const int blocks = frameSize_ / kBlock;
    const std::int64_t start = centre - frameSize_ / 2;
    const double* sums = energySums_.data() + (start - base_);
    const auto energy = [sums](int from, int count) {
        return sums[(from + count) * kBlock] - sums[from * kBlock];
    };
    double onset = 0.0;
    bool rising = false;
    // Near the frame's edges the spans shrink to what the frame holds, so an attack anywhere in
    // it is found.
    for (int b = 1; b < blocks; ++b) {
        const int first = std::max(0, b - kBefore);
        const int after = std::min(kAfter, blocks - b);
        const double before = energy(first, b - first) / (b - first);
        const bool attack =
            energy(b, after) / after > 2.0 * before + 1e-12 && energy(b, 1) > 2.0 * before + 1e-12;
        if (attack && !rising) {
            onset = static_cast<double>(preciseAttack(sums, b, before / kBlock)) - 0.5 * frameSize_;
        }
        rising = attack;
    }
    return onset;
}

int TimePitchShifter::preciseAttack(const double* sums, int block, double level) const {
    // Within the block before and the block found, the first few samples that rise above
    // twice the level before: partials born at the attack are aligned with it to within them,
    // which keeps the phases of high partials of one note together.
    constexpr int kBlock = 64;
    constexpr int kStep = 8;
    const int from = std::max(0, (block - 1) * kBlock);
    for (int t = from; t < (block + 1) * kBlock && t + kStep <= frameSize_; t += kStep) {
        if (sums[t + kStep] - sums[t] > 2.0 * kStep * level + 1e-12) {
            return t;
        }
    }
    return block * kBlock;
}

void TimePitchShifter::addEnergy(std::int64_t from, std::int64_t to) {
    double* sums = energySums_.data() - base_;
    for (std::int64_t t = from; t < to; ++t) {
        double energy = 0.0;
        for (int c = 0; c < channels_; ++c) {
            // The first difference: attacks are broadband, and low tones beating against each
            // other (which swing a plain energy by the beat) weigh little in it.
            const double x = *at(input_, c, t) - (t > base_ ? *at(input_, c, t - 1) : 0.0F);
            energy += x * x;
        }
        sums[t + 1] = sums[t] + energy;
    }
}

void TimePitchShifter::prepareFades(int before, int after) {
    if (static_cast<int>(rise_.size()) != before) {
        rise_.resize(static_cast<std::size_t>(before));
        for (int i = 0; i < before; ++i) {
            rise_[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * i / before));
        }
    }
    if (static_cast<int>(fall_.size()) != after) {
        fall_.resize(static_cast<std::size_t>(after));
        for (int i = 0; i < after; ++i) {
            fall_[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 + 0.5 * std::cos(std::numbers::pi * i / after));
        }
    }
}

void TimePitchShifter::addCorrection(std::int64_t centre, int before, int after, double ratio) {
    // Each frame's correction fades in from the previous frame's centre and out towards the
    // next one; neighbouring fades add up to one whatever the hops, so the overlap can change
    // between any two frames.
    prepareFades(before, after);
    const float* in[PartialAnalyzer::kMaxChannels];
    float* out[PartialAnalyzer::kMaxChannels];
    for (int c = 0; c < channels_; ++c) {
        in[c] = at(input_, c, centre);
        out[c] = at(correction_, c, centre);
    }
    spectral_.addCorrection(spectraPointers_.data(), analyzer_, ratio, in, out, rise_.data(),
                            before, fall_.data(), after);
}

}  // namespace brimo::timepitch
