#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/timepitch/TempoResampler.h"
#include "support/PinnedLoops.h"

namespace brimo::timepitch {
namespace {

// A sine source that counts what it hands out and the largest slice asked for; channel c
// carries the sine at c + 1 times its level, so channels that trade places show.
struct SineSource {
    static constexpr int kChannels = 3;
    double radiansPerFrame = 0.0;
    std::int64_t position = 0;
    std::uint32_t largestSlice = 0;

    static void pull(void* context, float* const* channels, std::uint32_t frames) {
        auto* self = static_cast<SineSource*>(context);
        self->largestSlice = std::max(self->largestSlice, frames);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double x =
                std::sin(self->radiansPerFrame * static_cast<double>(self->position + i));
            for (int c = 0; c < kChannels; ++c) {
                channels[c][i] = static_cast<float>((c + 1) * x);
            }
        }
        self->position += frames;
    }
};

struct Outcome {
    double errorDb = 0.0;  // error energy against the ideal tone, relative to the tone's
    double levelDb = 0.0;  // output energy relative to the tone's
};

// Produces `blocks` blocks of 512 frames at `rate`, against the ideal tone read at the same
// positions.
Outcome resample(double hz, double rate, int blocks, SineSource& source) {
    constexpr int kChannels = SineSource::kChannels;
    TempoResampler resampler;
    resampler.prepare(kChannels, 256, 512);
    source.radiansPerFrame = 2.0 * std::numbers::pi * hz / 48000.0;
    std::vector<std::vector<float>> out(kChannels, std::vector<float>(512));
    float* pointers[kChannels];
    for (int c = 0; c < kChannels; ++c) {
        pointers[c] = out[static_cast<std::size_t>(c)].data();
    }
    double error = 0.0;
    double energy = 0.0;
    double level = 0.0;
    std::int64_t produced = 0;
    for (int b = 0; b < blocks; ++b) {
        resampler.produce(pointers, 512, rate, {&SineSource::pull, &source});
        for (std::size_t i = 0; i < 512; ++i, ++produced) {
            const double tone =
                std::sin(source.radiansPerFrame * rate * static_cast<double>(produced));
            // The first kernel's reach of output starts from silence.
            for (int c = 0; c < kChannels && produced > 64; ++c) {
                const double ideal = static_cast<float>((c + 1) * tone);
                const double got = out[static_cast<std::size_t>(c)][i];
                error += (got - ideal) * (got - ideal);
                energy += ideal * ideal;
                level += got * got;
            }
        }
    }
    return {10.0 * std::log10(error / energy + 1e-30), 10.0 * std::log10(level / energy + 1e-30)};
}

TEST(TempoResampler, AtRateOneCopiesTheSourceExactly) {
    SineSource source;
    EXPECT_LT(resample(1000.0, 1.0, 10, source).errorDb, -200.0);
}

TEST(TempoResampler, ReadsBetweenFramesWithBandLimitedAccuracyOnBothLoops) {
    for (const bool plain : {false, true}) {
        const PinnedLoops pinned(plain);
        // Clock trims (100 ppm each way: eight frames at a time on the vector loops), the
        // largest ones, and real tempo changes.
        for (const double rate : {0.9999, 1.0001, 0.998, 1.002, 0.75, 1.9}) {
            for (const double hz : {100.0, 3000.0, 10000.0}) {
                SineSource source;
                const Outcome outcome = resample(hz, rate, 40, source);
                EXPECT_LT(outcome.errorDb, -100.0) << rate << " " << hz << (plain ? " plain" : "");
                EXPECT_LE(source.largestSlice, 256U);
                // It reads ahead by the kernel's reach, never more than a block's worth of slack.
                const double consumed = static_cast<double>(source.position);
                EXPECT_NEAR(consumed, 40.0 * 512.0 * rate, 24.0 * std::max(1.0, rate) + 3.0);
            }
        }
    }
}

TEST(TempoResampler, RemovesWhatWouldAliasAboveTheNewNyquistFrequency) {
    // At rate 1.9 an 18 kHz tone would fold down to 13.8 kHz: it must vanish instead.
    SineSource source;
    EXPECT_LT(resample(18000.0, 1.9, 40, source).levelDb, -80.0);
}

}  // namespace
}  // namespace brimo::timepitch
