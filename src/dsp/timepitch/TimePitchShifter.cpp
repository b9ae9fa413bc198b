#include "dsp/timepitch/TimePitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/timepitch/ChannelCount.h"

namespace brimo::timepitch {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Partials followed per frame: up to two thirds of them peaks; beyond that the weakest peaks
// are not followed, and move with the region of a louder one.
constexpr int kMaxPartials = 768;
// At 0 cents, tempos this close to 1 are clock trims (the engine's go to 0.2 %): the output is
// the input read at the trimmed tempo and nothing is analysed. The trim moves the pitch with it,
// as any resampling between two clocks does (0.17 cents at the 100 ppm real clocks drift by, 3.5
// at the engine's largest trim, which it holds only while winning back a lag); the bound sits
// above the engine's clamp so its trim never flips the shift on and off. Further from 1 the
// tempo is a real change and the shift takes its pitch back.
constexpr double kTrimRange = 2.5e-3;
// Winding the phase offsets back: the offset moves back by at most this share of its partial's
// phase advance (a pitch 10 cents off) or a change of 0.8 Hz, whichever is more; once every
// offset is within kUnwound radians, or after kLongestUnwind seconds, the correction fades out
// over kFadeSeconds.
constexpr double kUnwindShare = 0.006;
constexpr double kUnwindFloorHz = 0.8;
constexpr double kUnwound = 0.05;
constexpr double kLongestUnwind = 0.75;
constexpr double kFadeSeconds = 0.02;
// Frames land on the end of every render, so the output never waits for a frame beyond it;
// only a render that ends closer than this to the last frame puts the next one past its end.
constexpr int kMinHop = 64;
// The finest grid of frames, which the engine's "max quality" request (overlap 32) gets: one
// frame per 512-frame render. A grid of 32 would cost five times as much for figures at most
// 3 dB better, all far below hearing (a tone's distortion −111 against −107 dB, chords within
// 0.4 dB). Below it, the overlap sets a coarser grid, for less work.
constexpr float kFinestOverlap = 6.0F;
// What prepare()'s warm-up renders at: the 432 Hz shift at a 100 ppm clock trim, as the engine
// runs it.
constexpr float kWarmUpCents = -31.766653F;
constexpr float kWarmUpRate = 1.0001F;

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
    spectraPointers_.resize(static_cast<std::size_t>(channels_));
    pullPointers_.resize(static_cast<std::size_t>(channels_));
    input_.assign(static_cast<std::size_t>(capacity_ * channels_), 0.0F);
    correction_.assign(static_cast<std::size_t>(capacity_ * channels_), 0.0F);
    frameRate_.assign(static_cast<std::size_t>(capacity_), 1.0F);
    energySums_.assign(static_cast<std::size_t>(capacity_ + 1), 0.0);
    rise_.reserve(static_cast<std::size_t>(maxHop_) + 1);
    fall_.reserve(static_cast<std::size_t>(maxHop_) + 1);
    // Renders of the largest slice all give one hop (the engine's: 512 frames at 48 kHz), whose
    // fades are taken here rather than in the first render.
    prepareFades(static_cast<int>(hopAfter(maxFrames_)));
    pending_.assign(static_cast<std::size_t>(maxHop_) * static_cast<std::size_t>(channels_), 0.0F);
    fresh_.assign(2 * static_cast<std::size_t>(maxHop_) * static_cast<std::size_t>(channels_),
                  0.0F);
    reset();
    warmUp();
    reset();
}

void TimePitchShifter::warmUp() {
    // A chord with two partials 6 Hz apart that starts at once over noise about 20 dB down,
    // shifted at a clock-trimmed tempo: it takes every step a stream's first renders take (the
    // look-ahead through the resampler, a fresh analysis at an attack, single and joint fits,
    // noise peaks and their regions, synthesis), so those renders fault in no code or data page
    // and find the FFT plans and tables warm. reset() then forgets all of it.
    struct Chord {
        double step = 0.0;
        int channels = 0;
        std::int64_t position = 0;
        std::uint32_t noise = 1;
        static void pull(void* context, float* const* out, std::uint32_t frames) {
            auto* self = static_cast<Chord*>(context);
            for (std::uint32_t i = 0; i < frames; ++i) {
                const double t = self->step * static_cast<double>(self->position + i);
                self->noise = self->noise * 1664525U + 1013904223U;
                const double hiss =
                    0.1 * (static_cast<double>(self->noise >> 8U) / 16777216.0 - 0.5);
                const double chord = 0.2 * std::sin(220.0 * t) + 0.1 * std::sin(440.0 * t) +
                                     0.08 * std::sin(446.0 * t) + 0.05 * std::sin(1650.0 * t) +
                                     hiss;
                for (int c = 0; c < self->channels; ++c) {
                    out[c][i] = static_cast<float>(chord);
                }
            }
            self->position += frames;
        }
    };
    Chord chord{kTwoPi / sampleRate_, channels_};
    std::vector<float> scratch(static_cast<std::size_t>(channels_) * maxFrames_);
    float* out[PartialAnalyzer::kMaxChannels];
    for (int c = 0; c < channels_; ++c) {
        out[c] = scratch.data() + static_cast<std::ptrdiff_t>(c) * maxFrames_;
    }
    // Past the first frame and the look-ahead, into frames that follow partials from the last.
    const std::int64_t frames = 2 * static_cast<std::int64_t>(frameSize_);
    for (std::int64_t done = 0; done < frames; done += maxFrames_) {
        renderWith(maxFrames_, out, {&Chord::pull, &chord}, kWarmUpCents, kWarmUpRate, true);
    }
}

void TimePitchShifter::reset() {
    std::fill(input_.begin(), input_.end(), 0.0F);
    std::fill(correction_.begin(), correction_.end(), 0.0F);
    std::fill(frameRate_.begin(), frameRate_.end(), 1.0F);
    std::fill(energySums_.begin(), energySums_.end(), 0.0);
    // The sums of the zeros kept before the first pull are those zeros.
    energySummed_ = true;
    tempo_.reset();
    analyzer_.reset();
    base_ = -frameSize_;
    inputEnd_ = 0;
    readPosition_ = 0;
    lastCentre_ = 0;
    lastRatio_ = 1.0;
    hasPending_ = false;
    // Nothing is shifted until a pitch other than 0 cents is asked for.
    mode_ = Mode::dry;
    wetGain_ = 1.0F;
    wetStep_ = 0.0F;
    analyzer_.setUnwinding(0.0, 0.0);
}

std::uint32_t TimePitchShifter::latencyFrames() const {
    return static_cast<std::uint32_t>(frameSize_ / 2 + kMinHop + TempoResampler::latencyFrames());
}

int TimePitchShifter::largestHop() const {
    const float overlap = std::min(this->overlap(), kFinestOverlap);
    return std::clamp(static_cast<int>(std::lround(frameSize_ / overlap)), kMinHop, maxHop_);
}

std::int64_t TimePitchShifter::hopAfter(std::int64_t gap) const {
    if (gap <= kMinHop) {
        return kMinHop;
    }
    const std::int64_t hops = (gap + largestHop() - 1) / largestHop();
    return (gap + hops - 1) / hops;
}

std::int64_t TimePitchShifter::nextCentre(std::int64_t end) const {
    return lastCentre_ + hopAfter(end - lastCentre_);
}

bool TimePitchShifter::render(std::uint32_t frames, float* const* output, SourcePull source) {
    if (frames > maxFrames_ || frameSize_ == 0) {
        return false;
    }
    renderWith(frames, output, source, pitchCents(), rate(), peakLocking());
    return true;
}

void TimePitchShifter::renderWith(std::uint32_t frames, float* const* output, SourcePull source,
                                  float cents, float rate, bool jointFit) {
    const double pitchRatio = std::exp2(static_cast<double>(cents) / 1200.0);
    renderRate_ =
        std::clamp(static_cast<double>(rate), TempoResampler::kMinRate, TempoResampler::kMaxRate);
    switchMode(cents == 0.0F && std::abs(renderRate_ - 1.0) <= kTrimRange);
    const std::int64_t end = readPosition_ + frames;
    // Output is final up to the centre of the last frame analysed.
    while (lastCentre_ < end) {
        const std::int64_t centre = nextCentre(end);
        if (mode_ == Mode::dry) {
            skipFrame(centre, source);
        } else {
            processFrame(centre, pitchRatio, jointFit, source);
        }
    }
    for (int c = 0; c < channels_; ++c) {
        const float* x = at(input_, c, readPosition_);
        const float* y = at(correction_, c, readPosition_);
        float* out = output[c];
        if (mode_ == Mode::dry) {
            std::copy(x, x + frames, out);
        } else if (wetStep_ == 0.0F) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] = x[i] + y[i];
            }
        } else {
            float gain = wetGain_;
            for (std::uint32_t i = 0; i < frames; ++i) {
                gain = std::clamp(gain + wetStep_, 0.0F, 1.0F);
                out[i] = x[i] + gain * y[i];
            }
        }
    }
    if (wetStep_ != 0.0F) {
        wetGain_ = std::clamp(wetGain_ + wetStep_ * static_cast<float>(frames), 0.0F, 1.0F);
        if (wetGain_ == 1.0F && wetStep_ > 0.0F) {
            wetStep_ = 0.0F;
        } else if (wetGain_ == 0.0F && wetStep_ < 0.0F) {
            wetStep_ = 0.0F;
            wetGain_ = 1.0F;
            mode_ = Mode::dry;
            analyzer_.setUnwinding(0.0, 0.0);
        }
    }
    readPosition_ = end;
    if (mode_ == Mode::leaving &&
        (analyzer_.largestOffset() <= kUnwound ||
         static_cast<double>(readPosition_ - leavingSince_) >= kLongestUnwind * sampleRate_)) {
        mode_ = Mode::fading;
        wetStep_ = static_cast<float>(-1.0 / (kFadeSeconds * sampleRate_));
    }
}

void TimePitchShifter::switchMode(bool wantDry) {
    if (wantDry) {
        if (mode_ == Mode::wet) {
            mode_ = Mode::leaving;
            leavingSince_ = readPosition_;
            analyzer_.setUnwinding(kUnwindShare, kTwoPi * kUnwindFloorHz / sampleRate_);
        }
        return;
    }
    if (mode_ == Mode::dry) {
        // A fresh start in phase with the input: nothing of the last shifted stretch is left
        // ahead of the output, and the first frame fades its correction in over a hop.
        analyzer_.reset();
        hasPending_ = false;
        lastRatio_ = 1.0;
        if (!energySummed_) {
            energySums_[0] = 0.0;
            addEnergy(base_, inputEnd_);
            energySummed_ = true;
        }
    } else if (mode_ == Mode::fading) {
        wetStep_ = static_cast<float>(1.0 / (kFadeSeconds * sampleRate_));
    }
    mode_ = Mode::wet;
    analyzer_.setUnwinding(0.0, 0.0);
}

void TimePitchShifter::skipFrame(std::int64_t centre, SourcePull source) {
    const int half = frameSize_ / 2;
    makeRoom(std::min(readPosition_, centre - half), centre + half + maxHop_);
    pullUntil(centre + half, source);
    lastCentre_ = centre;
}

void TimePitchShifter::processFrame(std::int64_t centre, double pitchRatio, bool jointFit,
                                    SourcePull source) {
    const int before = static_cast<int>(centre - lastCentre_);
    const int half = frameSize_ / 2;
    makeRoom(std::min(readPosition_, centre - half), centre + half + maxHop_);
    pullUntil(centre + half, source);
    // The tempo resampler moved this frame's pitch by its rate; the shift takes that back.
    const double ratio = pitchRatio / static_cast<double>(*at(frameRate_, 0, centre));
    analyseFrame(centre);
    analyzer_.analyze(spectraPointers_.data(), before, lastRatio_, ratio, jointFit,
                      latestOnset(centre));
    const float* in[PartialAnalyzer::kMaxChannels];
    float* out[PartialAnalyzer::kMaxChannels];
    for (int c = 0; c < channels_; ++c) {
        in[c] = at(input_, c, centre);
        out[c] = fresh_.data() + (2 * c + 1) * static_cast<std::ptrdiff_t>(maxHop_);
    }
    const bool moved =
        spectral_.correction(spectraPointers_.data(), analyzer_, ratio, in, out, before, maxHop_);
    crossFade(centre, moved);
    lastCentre_ = centre;
    lastRatio_ = ratio;
}

void TimePitchShifter::makeRoom(std::int64_t keepFrom, std::int64_t end) {
    if (end - base_ <= capacity_) {
        return;
    }
    const std::int64_t shift = keepFrom - base_;
    const auto kept = static_cast<std::size_t>(capacity_ - shift);
    for (int c = 0; c < channels_; ++c) {
        // The input's free part is pulled into before anything reads it. The correction's is
        // not always made before it is heard: entering the shift, the output may start before
        // the last frame skipped while the shift was off, where it must add nothing.
        float* input = input_.data() + static_cast<std::ptrdiff_t>(c) * capacity_;
        std::memmove(input, input + shift, kept * sizeof(float));
        float* correction = correction_.data() + static_cast<std::ptrdiff_t>(c) * capacity_;
        std::memmove(correction, correction + shift, kept * sizeof(float));
        std::fill(correction + kept, correction + capacity_, 0.0F);
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
        // Nothing reads the energy while the shift is off; re-entering sums what is kept.
        if (mode_ != Mode::dry) {
            addEnergy(inputEnd_, inputEnd_ + frames);
        } else {
            energySummed_ = false;
        }
        inputEnd_ += frames;
    }
}

void TimePitchShifter::analyseFrame(std::int64_t centre) {
    const int bins = frameSize_ / 2 + 1;
    for (int c = 0; c < channels_; ++c) {
        // Straight into the analyzer's record of the frame, which keeps it for the next one,
        // with phases relative to the frame centre rather than its first sample.
        auto* spectrum = analyzer_.nextSpectra() + static_cast<std::ptrdiff_t>(bins) * c;
        spectraPointers_[static_cast<std::size_t>(c)] = spectrum;
        fft_.forwardCentred(at(input_, c, centre - frameSize_ / 2), window_.data(), spectrum);
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
    if (from >= to) {
        return;
    }
    double* sums = energySums_.data() - base_;
    const float* x[PartialAnalyzer::kMaxChannels];
    for (int c = 0; c < channels_; ++c) {
        x[c] = at(input_, c, from);
    }
    // The first difference: attacks are broadband, and low tones beating against each other
    // (which swing a plain energy by the beat) weigh little in it. Nothing precedes base_.
    std::int64_t t = from;
    if (t == base_) {
        double energy = 0.0;
        for (int c = 0; c < channels_; ++c) {
            const double d = x[c][0];
            energy += d * d;
        }
        sums[t + 1] = sums[t] + energy;
        ++t;
    }
    // The energies a block at a time, in a loop free to vectorise; only the running sum is
    // serial.
    constexpr int kBlock = 256;
    double energy[kBlock];
    while (t < to) {
        const auto count = static_cast<int>(std::min<std::int64_t>(kBlock, to - t));
        const std::ptrdiff_t offset = t - from;
        withChannels(channels_, [&](auto channels) {
            for (int i = 0; i < count; ++i) {
                double e = 0.0;
                for (int c = 0; c < channels; ++c) {
                    const float* y = x[c] + offset + i;
                    const double d = y[0] - y[-1];
                    e += d * d;
                }
                energy[i] = e;
            }
        });
        for (int i = 0; i < count; ++i) {
            sums[t + i + 1] = sums[t + i] + energy[i];
        }
        t += count;
    }
}

void TimePitchShifter::prepareFades(int hop) {
    if (static_cast<int>(rise_.size()) != hop) {
        rise_.resize(static_cast<std::size_t>(hop));
        fall_.resize(static_cast<std::size_t>(hop));
        for (int i = 0; i < hop; ++i) {
            const double c = 0.5 * std::cos(std::numbers::pi * i / hop);
            rise_[static_cast<std::size_t>(i)] = static_cast<float>(0.5 - c);
            fall_[static_cast<std::size_t>(i)] = static_cast<float>(0.5 + c);
        }
    }
}

void TimePitchShifter::crossFade(std::int64_t centre, bool moved) {
    const int hop = static_cast<int>(centre - lastCentre_);
    prepareFades(hop);
    const float* rise = rise_.data();
    const float* fall = fall_.data();
    for (int c = 0; c < channels_; ++c) {
        float* y = at(correction_, c, lastCentre_);
        const float* last = pending_.data() + static_cast<std::ptrdiff_t>(c) * maxHop_;
        // This frame's correction from the last frame's centre on.
        const float* now = fresh_.data() + (2 * c + 1) * static_cast<std::ptrdiff_t>(maxHop_) - hop;
        if (hasPending_ && moved) {
            for (int i = 0; i < hop; ++i) {
                y[i] = last[i] * fall[i] + now[i] * rise[i];
            }
        } else if (hasPending_) {
            for (int i = 0; i < hop; ++i) {
                y[i] = last[i] * fall[i];
            }
        } else if (moved) {
            for (int i = 0; i < hop; ++i) {
                y[i] = now[i] * rise[i];
            }
        } else {
            std::fill(y, y + hop, 0.0F);
        }
        if (moved) {
            std::copy(now + hop, now + hop + maxHop_,
                      pending_.data() + c * static_cast<std::ptrdiff_t>(maxHop_));
        }
    }
    hasPending_ = moved;
}

}  // namespace brimo::timepitch
