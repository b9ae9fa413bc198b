#include "ShiftedCleanCopy.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "dsp/timepitch/TimePitchShifter.h"

namespace brimo::bench {

namespace {

constexpr std::uint32_t kSlice = 512;  // the engine's slice
constexpr double kTrimLimit = 0.002;
constexpr double kTrimPeriodSeconds = 40.0;

struct LoopedMono {
    const std::vector<float>* music = nullptr;
    std::size_t position = 0;
    static void pull(void* context, float* const* channels, std::uint32_t frames) {
        auto* self = static_cast<LoopedMono*>(context);
        const std::vector<float>& in = *self->music;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float sample = in[(self->position + i) % in.size()];
            channels[0][i] = sample;
            channels[1][i] = sample;
        }
        self->position += frames;
    }
};

std::vector<float> render(const std::vector<float>& music, double sampleRate, double seconds,
                          float cents, double trimLimit);

}  // namespace

std::vector<float> shiftedCleanCopy(const std::vector<float>& music, double sampleRate,
                                    double seconds, float cents) {
    return render(music, sampleRate, seconds, cents, kTrimLimit);
}

std::vector<float> shiftedLoop(const std::vector<float>& music, double sampleRate, float cents) {
    // The second time round, the shifter long past its start; the frames before the loop's
    // own start are the delay, which the detector finds as an offset like any other.
    const double loopSeconds = static_cast<double>(music.size()) / sampleRate;
    std::vector<float> twice = render(music, sampleRate, 2.0 * loopSeconds + 1.0, cents, 0.0);
    return {twice.begin() + static_cast<std::ptrdiff_t>(music.size()),
            twice.begin() + static_cast<std::ptrdiff_t>(2 * music.size())};
}

namespace {

std::vector<float> render(const std::vector<float>& music, double sampleRate, double seconds,
                          float cents, double trimLimit) {
    timepitch::TimePitchShifter shifter;
    shifter.prepare(sampleRate, 2, kSlice);
    shifter.setOverlap(32.0F);
    shifter.setPeakLocking(true);
    shifter.setPitchCents(cents);
    LoopedMono source{&music, 0};
    const auto frames = static_cast<std::size_t>(seconds * sampleRate) / kSlice * kSlice;
    std::vector<float> left(kSlice);
    std::vector<float> right(kSlice);
    std::vector<float> out;
    out.reserve(frames);
    for (std::size_t at = 0; at < frames; at += kSlice) {
        // A sine clipped at the limits: the trim sweeps the range and rests at either end.
        const double phase =
            2.0 * std::numbers::pi * static_cast<double>(at) / sampleRate / kTrimPeriodSeconds;
        const double trim = std::clamp(1.5 * trimLimit * std::sin(phase), -trimLimit, trimLimit);
        shifter.setRate(static_cast<float>(1.0 + trim));
        float* channels[2] = {left.data(), right.data()};
        shifter.render(kSlice, channels, {&LoopedMono::pull, &source});
        out.insert(out.end(), left.begin(), left.end());
    }
    return out;
}

}  // namespace

}  // namespace brimo::bench
