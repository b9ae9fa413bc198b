#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <stop_token>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "dsp/timepitch/RealFft.h"
#include "dsp/timepitch/TempoResampler.h"
#include "dsp/timepitch/TimePitchShifter.h"
#include "dsp/timepitch/VectorLoops.h"
#include "support/AllocationCounter.h"
#include "support/PinnedLoops.h"

namespace brimo::timepitch {
namespace {

constexpr double kRate = 48000.0;
constexpr std::uint32_t kBlock = 512;
const float kTo432 = static_cast<float>(1200.0 * std::log2(432.0 / 440.0));

// A source reading from one signal per channel, zero past its end, that records its slices.
struct Signal {
    std::vector<std::vector<float>> channels;
    std::int64_t position = 0;
    std::uint32_t largestSlice = 0;

    static void pull(void* context, float* const* out, std::uint32_t frames) {
        auto* self = static_cast<Signal*>(context);
        self->largestSlice = std::max(self->largestSlice, frames);
        for (std::size_t c = 0; c < self->channels.size(); ++c) {
            const auto& in = self->channels[c];
            for (std::uint32_t i = 0; i < frames; ++i) {
                const auto at = static_cast<std::size_t>(self->position + i);
                out[c][i] = at < in.size() ? in[at] : 0.0F;
            }
        }
        self->position += frames;
    }
    SourcePull source() { return {&Signal::pull, this}; }
};

std::vector<float> tone(double hz, double seconds, double amplitude = 0.5) {
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<float>(
            amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate));
    }
    return out;
}

// Many equal sinusoids at random frequencies in [lo, hi] Hz with random phases: too dense for
// any of them to be told apart, a band of noise when they are many.
std::vector<float> denseBand(double lo, double hi, int count, double seconds) {
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate), 0.0F);
    std::uint32_t seed = 2024;
    const auto next = [&seed] {
        seed = seed * 1664525U + 1013904223U;
        return static_cast<double>(seed >> 8U) / 16777216.0;
    };
    const double amplitude = 0.5 / std::sqrt(static_cast<double>(count));
    for (int p = 0; p < count; ++p) {
        const double w = 2.0 * std::numbers::pi * (lo + (hi - lo) * next()) / kRate;
        const double phase = 2.0 * std::numbers::pi * next();
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] += static_cast<float>(amplitude * std::sin(w * static_cast<double>(i) + phase));
        }
    }
    return out;
}

// Energy of y[from, from + 32768) between lo and hi Hz (Hann window).
double bandEnergy(const std::vector<float>& y, std::size_t from, double lo, double hi) {
    constexpr int kSize = 32768;
    RealFft fft;
    fft.prepare(kSize);
    for (int i = 0; i < kSize; ++i) {
        fft.input()[i] =
            y[from + static_cast<std::size_t>(i)] *
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / kSize));
    }
    std::vector<std::complex<float>> spectrum(kSize / 2 + 1);
    fft.forward(spectrum.data());
    double energy = 0.0;
    for (int k = static_cast<int>(std::ceil(lo * kSize / kRate));
         k <= static_cast<int>(std::floor(hi * kSize / kRate)); ++k) {
        energy += std::norm(spectrum[static_cast<std::size_t>(k)]);
    }
    return energy;
}

// Renders `seconds` of output, block by block, calling `beforeBlock` with the block index.
template <typename Hook = void (*)(std::size_t)>
std::vector<std::vector<float>> renderAll(
    TimePitchShifter& shifter, Signal& signal, double seconds,
    Hook beforeBlock = [](std::size_t) {}) {
    const std::size_t channels = signal.channels.size();
    const auto blocks = static_cast<std::size_t>(seconds * kRate / kBlock);
    std::vector<std::vector<float>> out(channels, std::vector<float>(blocks * kBlock));
    for (std::size_t b = 0; b < blocks; ++b) {
        beforeBlock(b);
        std::vector<float*> pointers;
        for (auto& channel : out) {
            pointers.push_back(channel.data() + b * kBlock);
        }
        EXPECT_TRUE(shifter.render(kBlock, pointers.data(), signal.source()));
    }
    return out;
}

// `seconds` of `channels` through a fresh shifter at `cents`, on the grid `overlap` sets.
std::vector<std::vector<float>> shifted(float cents, std::vector<std::vector<float>> channels,
                                        double seconds, float overlap = 8.0F) {
    TimePitchShifter shifter;
    shifter.prepare(kRate, static_cast<int>(channels.size()), kBlock);
    shifter.setOverlap(overlap);
    shifter.setPitchCents(cents);
    Signal signal{std::move(channels)};
    return renderAll(shifter, signal, seconds);
}

std::size_t blockAt(double seconds) {
    return static_cast<std::size_t>(seconds * kRate) / kBlock;
}

// The energy and the root mean square of y[from, from + count).
double energy(const std::vector<float>& y, std::size_t from, std::size_t count) {
    double sum = 0.0;
    for (std::size_t i = from; i < from + count; ++i) {
        sum += static_cast<double>(y[i]) * y[i];
    }
    return sum;
}
double rms(const std::vector<float>& y, std::size_t from, std::size_t count) {
    return std::sqrt(energy(y, from, count) / static_cast<double>(count));
}

// The largest step between neighbouring samples: a click shows as one steeper than the tone's own.
double steepestStep(const std::vector<float>& y) {
    double steepest = 0.0;
    for (std::size_t i = 1; i < y.size(); ++i) {
        steepest = std::max(steepest, std::abs(static_cast<double>(y[i]) - y[i - 1]));
    }
    return steepest;
}

// The frequency of the one tone in y[from, from + count): the peak of its Hann-windowed
// spectrum, found by golden-section search around `guess`.
double toneFrequency(const std::vector<float>& y, std::size_t from, std::size_t count,
                     double guess) {
    auto magnitude = [&](double hz) {
        std::complex<double> sum;
        for (std::size_t i = 0; i < count; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                  static_cast<double>(count));
            sum += w * y[from + i] *
                   std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate);
        }
        return std::abs(sum);
    };
    double lo = guess * 0.995;
    double hi = guess * 1.005;
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    for (int i = 0; i < 40; ++i) {
        const double a = hi - g * (hi - lo);
        const double b = lo + g * (hi - lo);
        const bool below = magnitude(a) > magnitude(b);
        (below ? hi : lo) = below ? b : a;
    }
    return 0.5 * (lo + hi);
}

// Two voices a whole tone apart (220 Hz left, 246.9 Hz right, 0.3 each) sharing a third
// partial, heard `share` times as loud on the right: stereo material for the joint fits.
std::vector<std::vector<float>> twoVoices(double seconds, double sharedHz, double sharedAmplitude,
                                          float share) {
    auto left = tone(220.0, seconds, 0.3);
    const auto shared = tone(sharedHz, seconds, sharedAmplitude);
    auto right = tone(246.9, seconds, 0.3);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] += shared[i];
        right[i] += share * shared[i];
    }
    return {left, right};
}

TEST(TimePitchShifter, MovesAToneToTheRequestedPitchAtItsLevel) {
    for (const auto& [cents, hz] : {std::pair{kTo432, 440.0}, std::pair{700.0F, 300.0}}) {
        const auto out = shifted(cents, {tone(hz, 1.2)}, 1.2)[0];
        const double wanted = hz * std::exp2(cents / 1200.0);
        const double got = toneFrequency(out, 24000, 24000, wanted);
        EXPECT_NEAR(1200.0 * std::log2(got / wanted), 0.0, 0.01) << cents << " cents";
        EXPECT_NEAR(rms(out, 24000, 24000), 0.5 / std::sqrt(2.0), 0.005);
    }
}

// What no sinusoid explains (bands of partials closer than the analysis can resolve, noise)
// must move too: left in place, it would sound beside the shifted rest as a detuned double.
TEST(TimePitchShifter, MovesWhatItCannotResolveIntoPartialsToo) {
    const float cents = -700.0F;
    const double ratio = std::exp2(cents / 1200.0);
    const std::pair<double, double> bands[] = {{1000.0, 1120.0}, {2000.0, 2800.0}};
    for (const auto& [lo, hi] : bands) {
        const auto input = denseBand(lo, hi, hi - lo > 500.0 ? 400 : 40, 1.5);
        const auto out = shifted(cents, {input}, 1.5)[0];
        const std::size_t from = 24000;
        const double moved = bandEnergy(out, from, lo * ratio - 20.0, hi * ratio + 20.0);
        const double left = bandEnergy(out, from, lo - 20.0, hi + 20.0);
        const double wanted = bandEnergy(input, from, lo - 20.0, hi + 20.0);
        EXPECT_LT(left, 1e-3 * moved) << lo;
        EXPECT_NEAR(10.0 * std::log10(moved / wanted), 0.0, 1.0) << lo;
    }
}

// Sounds far below the loudest are moved by their own shift too: one between two louder tones
// (within the regions around it) and one far from any other.
TEST(TimePitchShifter, MovesFaintTonesByTheirOwnShiftBesideLouderOnesAndFarFromThem) {
    const double ratio = std::exp2(kTo432 / 1200.0);
    const double faint = 0.25 * std::pow(10.0, -65.0 / 20.0);
    std::vector<float> input(static_cast<std::size_t>(1.5 * kRate), 0.0F);
    for (const auto& [hz, amplitude] :
         {std::pair{1000.0, 0.25}, std::pair{2000.0, 0.25}, std::pair{2075.0, faint},
          std::pair{2150.0, 0.25}, std::pair{6000.0, faint}, std::pair{9000.0, 0.25}}) {
        const auto part = tone(hz, 1.5, amplitude);
        for (std::size_t i = 0; i < input.size(); ++i) {
            input[i] += part[i];
        }
    }
    const auto out = shifted(kTo432, {input}, 1.5, 32.0F)[0];
    const std::size_t from = 24000;
    for (const double hz : {2075.0, 6000.0}) {
        const double moved = bandEnergy(out, from, hz * ratio - 6.0, hz * ratio + 6.0);
        const double left = bandEnergy(out, from, hz - 6.0, hz + 6.0);
        const double wanted = bandEnergy(input, from, hz - 6.0, hz + 6.0);
        EXPECT_LT(left, 0.1 * moved) << hz;
        EXPECT_NEAR(10.0 * std::log10(moved / wanted), 0.0, 1.0) << hz;
    }
}

// A lone impulse has no pitch: it must come out where it went in, not smeared or lost.
TEST(TimePitchShifter, KeepsAClickWhereItWas) {
    for (const float overlap : {8.0F, 32.0F}) {
        std::vector<float> input(static_cast<std::size_t>(kRate), 0.0F);
        const std::size_t at = 20000;
        input[at] = 0.9F;
        const auto out = shifted(kTo432, {input}, 1.0, overlap)[0];
        const double total = energy(out, 0, out.size());
        const double near = energy(out, at - 48, 97);
        EXPECT_NEAR(total, 0.81, 0.81 * 0.05) << overlap;
        // Nothing of it before or after: an impulse's frames hold no peaks to move.
        EXPECT_GT(near, (1.0 - 1e-6) * total) << overlap;
    }
}

// Two identical channels of a mix with clicks, then silence, beside a silent one.
TEST(TimePitchShifter, KeepsIdenticalChannelsIdenticalAndSilenceExactlySilentAlsoAfterATone) {
    auto mix = tone(220.0, 0.4, 0.3);
    const auto upper = tone(659.26, 0.4, 0.2);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        mix[i] += upper[i] + ((i * 7919U) % 1000U == 0 ? 0.5F : 0.0F);
    }
    mix.resize(static_cast<std::size_t>(kRate), 0.0F);
    const auto out = shifted(kTo432, {mix, mix, std::vector<float>(mix.size(), 0.0F)}, 1.0);
    EXPECT_EQ(out[0], out[1]);
    // Once the last analysis frame touching the mix has passed, nothing is left over.
    for (std::size_t i = static_cast<std::size_t>(0.5 * kRate); i < out[0].size(); ++i) {
        ASSERT_EQ(out[0][i], 0.0F) << i;
    }
    EXPECT_EQ(out[2], std::vector<float>(out[2].size(), 0.0F));
}

// The power button's glide, both ways: before it and at its last step (0 cents) the output is
// the input (read at the clock trim, when the tempo has one); leaving, the shifter winds its
// phases back to the input's and then stops analysing; the next glide starts afresh. Neither
// way clicks or dips, for a high and for a low tone, on the finest grid and a coarser one.
TEST(TimePitchShifter, LeavesAndReentersZeroCentsDuringTheGlideContinuously) {
    for (const auto& [hz, rate, overlap] : {std::tuple{440.0, 1.0F, 32.0F},
                                            {97.0, 1.0F, 32.0F},
                                            {440.0, 1.002F, 32.0F},
                                            {440.0, 1.0F, 8.0F}}) {
        TimePitchShifter shifter;
        shifter.prepare(kRate, 1, kBlock);
        shifter.setOverlap(overlap);
        shifter.setRate(rate);
        const double amplitude = 0.5;
        const auto input = tone(hz, 7.0, amplitude);
        // What the source reads as at the trimmed tempo.
        std::vector<float> resampled(input.size());
        {
            Signal source{{input}};
            TempoResampler tempo;
            tempo.prepare(1, kBlock, kBlock);
            for (std::size_t at = 0; at + kBlock <= resampled.size(); at += kBlock) {
                float* out = resampled.data() + at;
                tempo.produce(&out, kBlock, rate, source.source());
            }
        }
        Signal signal{{input}};
        const std::size_t stepBlocks = blockAt(0.1);
        // Ten steps of 0.8 Hz down from 0.2 s, ten back up from 2.2 s (the last at 3.1 s), five
        // down again from 5.0 s.
        const auto out = renderAll(shifter, signal, 6.0, [&](std::size_t block) {
            for (const auto& [from, steps, start, by] : {std::tuple{blockAt(0.2), 10U, 440.0, -0.8},
                                                         {blockAt(2.2), 10U, 432.0, 0.8},
                                                         {blockAt(5.0), 5U, 440.0, -0.8}}) {
                const std::size_t step = (block - from) / stepBlocks + 1;
                if (block >= from && (block - from) % stepBlocks == 0 && step <= steps) {
                    const double frequency = start + by * static_cast<double>(step);
                    shifter.setPitchCents(
                        static_cast<float>(1200.0 * std::log2(frequency / 440.0)));
                }
            }
        })[0];
        const double ownSlope = amplitude * 2.0 * std::sin(std::numbers::pi * hz / kRate);
        EXPECT_LE(steepestStep(out), ownSlope * 1.02) << hz << " Hz";
        // Whole periods of the tone, about 20 ms each, keep its level.
        const auto period = static_cast<std::size_t>(std::lround(kRate / hz));
        const std::size_t window = period * std::max<std::size_t>(1, 960 / period);
        for (std::size_t from = kBlock; from + window <= out.size(); from += window) {
            ASSERT_NEAR(rms(out, from, window), amplitude / std::sqrt(2.0), 0.02)
                << hz << " Hz, from " << from;
        }
        // Before the glide, and a second after the glide back ended, the output is the input,
        // exactly.
        for (std::size_t i = 0; i < blockAt(5.0) * kBlock; ++i) {
            if (i < blockAt(0.2) * kBlock || i >= blockAt(4.1) * kBlock) {
                ASSERT_EQ(out[i], resampled[i]) << hz << " Hz, rate " << rate << ", frame " << i;
            }
        }
        // And the next glide shifts again: the last half second is below the input's pitch.
        const double got = toneFrequency(out, out.size() - 19200, 19200, hz * 0.99);
        EXPECT_NEAR(got, hz * (440.0 - 4.0) / 440.0, 0.05 * hz / 440.0) << hz;
    }
}

// Renders shorter than the smallest hop put the next frame past their end, so the output may
// re-enter the shift before the first frame made since: what it adds there must be nothing, not
// what the buffers held from the last shifted stretch. Both phases of 32-frame renders against
// 64-frame hops; right after re-entering, the output is still the input but for the first fade's
// start.
TEST(TimePitchShifter, ReenteringTheShiftWithShortRendersAddsNothingStaleBeforeItsFirstFrame) {
    constexpr std::uint32_t kShort = 32;
    const double amplitude = 0.5;
    const auto input = tone(440.0, 2.0, amplitude);
    const auto renders = [](double seconds) {
        return static_cast<std::size_t>(seconds * kRate) / kShort;
    };
    for (const std::size_t reentry : {renders(1.6), renders(1.6) + 1}) {
        TimePitchShifter shifter;
        shifter.prepare(kRate, 1, kBlock);
        shifter.setOverlap(32.0F);
        Signal signal{{input}};
        std::vector<float> out(renders(1.8) * kShort);
        for (std::size_t r = 0; r < renders(1.8); ++r) {
            // Shifted, then left (wound back and faded out well before 1.6 s), then again.
            shifter.setPitchCents(r < renders(0.3) || r >= reentry ? kTo432 : 0.0F);
            float* pointer = out.data() + r * kShort;
            ASSERT_TRUE(shifter.render(kShort, &pointer, signal.source()));
        }
        const std::size_t from = reentry * kShort;
        for (std::size_t i = from - kShort; i < from + kShort; ++i) {
            ASSERT_NEAR(out[i], input[i], i < from ? 0.0 : 0.01) << "re-entering at " << from;
        }
    }
}

// At 0 cents a clock trim only resamples, its pitch moving with it; a tempo beyond any clock
// trim is a real change, whose pitch is taken back. Crossing between the two either way is
// continuous.
TEST(TimePitchShifter, AtZeroCentsResamplesClockTrimsAndTakesLargerTempoChangesBack) {
    TimePitchShifter shifter;
    shifter.prepare(kRate, 1, kBlock);
    shifter.setOverlap(32.0F);
    const double amplitude = 0.5;
    Signal signal{{tone(440.0, 8.0, amplitude)}};
    const auto out = renderAll(shifter, signal, 6.0, [&](std::size_t block) {
        const bool realChange = block >= blockAt(2.0) && block < blockAt(4.0);
        shifter.setRate(realChange ? 1.01F : 1.002F);
    })[0];
    const double taken = toneFrequency(out, blockAt(3.0) * kBlock, 48000, 440.0);
    EXPECT_NEAR(taken, 440.0, 0.05) << "a real tempo change keeps the pitch";
    const double back = toneFrequency(out, blockAt(5.0) * kBlock, 48000, 440.0 * 1.002);
    EXPECT_NEAR(back, 440.0 * 1.002, 0.02) << "a clock trim's pitch is the resampler's";
    const double ownSlope = amplitude * 2.0 * std::sin(std::numbers::pi * 440.0 * 1.01 / kRate);
    EXPECT_LE(steepestStep(out), ownSlope * 1.02);
}

// The engine trims the tempo every block from the render thread to follow the drift between two
// device clocks: the source must be consumed at exactly that tempo, without a click, and the
// pitch stays where it was asked for whatever the trim.
TEST(TimePitchShifter, FollowsATempoTrimmedEveryBlockWithoutAClickAndKeepsItsPitch) {
    TimePitchShifter shifter;
    shifter.prepare(kRate, 1, kBlock);
    shifter.setOverlap(32.0F);
    shifter.setPitchCents(kTo432);
    const double amplitude = 0.5;
    Signal signal{{tone(440.0, 6.0, amplitude)}};
    // A controller's walk between 0.998 and 1.002, a new value every block; then held at the
    // walk's lower end, where a pitch the shift failed to take back would be 3.5 cents off.
    double rate = 1.0;
    double expected = 0.0;
    std::int64_t consumedBefore = 0;
    const std::size_t firstCounted = 20;
    std::uint32_t seed = 12345;
    const auto out = renderAll(shifter, signal, 5.0, [&](std::size_t block) {
        seed = seed * 1664525U + 1013904223U;
        const double step = (static_cast<double>(seed >> 8U) / 16777216.0 - 0.5) * 4e-4;
        rate = block < blockAt(3.5) ? std::clamp(rate + step, 0.998, 1.002) : 0.998;
        shifter.setRate(static_cast<float>(rate));
        if (block == firstCounted) {
            consumedBefore = signal.position;
        }
        if (block >= firstCounted) {
            expected += static_cast<double>(shifter.rate()) * kBlock;
        }
    })[0];
    const double hop = shifter.frameSize() / shifter.overlap();
    // Pulls run ahead of the output by half a frame and up to a hop, read at the latest rates.
    EXPECT_NEAR(static_cast<double>(signal.position - consumedBefore), expected, hop + 8.0);
    const double ownSlope = amplitude * 2.0 * std::sin(std::numbers::pi * 440.0 * 1.002 / kRate);
    EXPECT_LE(steepestStep(out), ownSlope * 1.01);
    const double got = toneFrequency(out, out.size() - 48000, 48000, 432.0);
    EXPECT_NEAR(1200.0 * std::log2(got / 432.0), 0.0, 0.01);
}

TEST(TimePitchShifter, RendersWithThePlainLoopsWhatItRendersWithTheVectorLoops) {
    // Processors without AVX2 run the plain loops, which nothing else here reaches on one that
    // has it. Music-like channels that differ, on the engine's grid, so the region turns and
    // taps and the convolutions all run. At tempo 1 the input is the same exactly on both (the
    // resampler's loops have their own test): what differs is only float rounding. With a trim,
    // rounding in the input moves a dense band's fits, to about -105 dB.
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here: the plain loops are what every other test runs";
    }
    std::vector<float> left = denseBand(300.0, 5000.0, 60, 1.5);
    std::vector<float> right = tone(220.0, 1.5, 0.3);
    const std::vector<float> fifth = tone(329.6, 1.5, 0.2);
    for (std::size_t i = 0; i < right.size(); ++i) {
        right[i] += fifth[i] + 0.3F * left[i];
    }
    const auto render = [&](bool plain) {
        const PinnedLoops pinned(plain);
        TimePitchShifter shifter;
        shifter.prepare(kRate, 2, kBlock);
        shifter.setOverlap(32.0F);
        shifter.setRate(1.0F);
        shifter.setPitchCents(kTo432);
        Signal signal{{left, right}};
        return renderAll(shifter, signal, 1.5);
    };
    const auto vector = render(false);
    const auto plain = render(true);
    for (std::size_t c = 0; c < 2; ++c) {
        double error = 0.0;
        double largest = 0.0;
        for (std::size_t i = 0; i < vector[c].size(); ++i) {
            const double d = static_cast<double>(plain[c][i]) - vector[c][i];
            error += d * d;
            largest = std::max(largest, std::abs(d));
        }
        const double energyDb =
            10.0 * std::log10(error / energy(vector[c], 0, vector[c].size()) + 1e-30);
        EXPECT_LT(energyDb, -125.0) << "channel " << c;
        EXPECT_LT(largest, 2e-6) << "channel " << c;
    }
}

// What prepare() takes once for the frame size (the fits' table of the window, the fades of the
// hop) must be taken anew when the rate changes it: a shifter used at 48 kHz and prepared again
// for 44.1 kHz renders, to the bit, what one prepared only for 44.1 kHz renders, and the other
// way round. Stereo, as only stereo fits use the table.
TEST(TimePitchShifter, PreparedForAnotherRateRendersWhatAShifterPreparedOnlyForItRenders) {
    const auto voices = twoVoices(0.6, 329.6, 0.2, 0.5F);
    const auto render = [&](TimePitchShifter& shifter, double rate) {
        shifter.prepare(rate, 2, kBlock);
        shifter.setOverlap(32.0F);
        shifter.setPitchCents(kTo432);
        Signal signal{voices};
        return renderAll(shifter, signal, 0.5);
    };
    for (const auto& [first, then] : {std::pair{48000.0, 44100.0}, std::pair{44100.0, 48000.0}}) {
        TimePitchShifter fresh;
        const auto expected = render(fresh, then);
        TimePitchShifter used;
        render(used, first);
        ASSERT_NE(used.frameSize(), fresh.frameSize());
        const auto got = render(used, then);
        EXPECT_TRUE(got == expected) << first << " Hz, then " << then << " Hz";
    }
}

// prepare() warms the shifter up with a sound of its own and relies on reset() to forget it:
// whatever a stream leaves behind (partials, phase offsets, energy sums, the resampler's
// history, a glide out of the shift) must be gone, and the parameters set must stay as set.
TEST(TimePitchShifter, AfterResetRendersWhatAFreshlyPreparedShifterRenders) {
    const auto voices = twoVoices(0.8, 1318.5, 0.1, -1.0F);
    const auto stream = [&](TimePitchShifter& shifter) {
        shifter.setPitchCents(kTo432);
        Signal signal{voices};
        // The shift, a glide out of it, and back in.
        return renderAll(shifter, signal, 0.75, [&](std::size_t block) {
            if (block == blockAt(0.3)) {
                shifter.setPitchCents(0.0F);
            } else if (block == blockAt(0.5)) {
                shifter.setPitchCents(-100.0F);
            }
        });
    };
    const auto prepared = [](TimePitchShifter& shifter) {
        shifter.setOverlap(32.0F);
        shifter.setRate(1.0002F);
        shifter.setPeakLocking(false);
        shifter.setPitchCents(kTo432);
        shifter.prepare(kRate, 2, kBlock);
    };
    TimePitchShifter fresh;
    prepared(fresh);
    EXPECT_EQ(fresh.overlap(), 32.0F);
    EXPECT_EQ(fresh.rate(), 1.0002F);
    EXPECT_FALSE(fresh.peakLocking());
    EXPECT_EQ(fresh.pitchCents(), kTo432);
    const auto expected = stream(fresh);
    TimePitchShifter used;
    prepared(used);
    for (int round = 0; round < 2; ++round) {
        const auto got = stream(used);
        EXPECT_TRUE(got == expected) << "round " << round;
        used.reset();
    }
}

TEST(TimePitchShifter, ClampsParametersToTheirRangesAndIgnoresNaN) {
    TimePitchShifter shifter;
    shifter.setPitchCents(-5000.0F);
    shifter.setPitchCents(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(shifter.pitchCents(), -2400.0F);
    shifter.setRate(0.0F);
    EXPECT_EQ(shifter.rate(), 1.0F / 32.0F);
    shifter.setOverlap(std::numeric_limits<float>::infinity());
    EXPECT_EQ(shifter.overlap(), 32.0F);
}

TEST(TimePitchShifter, RefusesMoreThanTheMaximumSliceAndPullsNoLargerSlices) {
    TimePitchShifter shifter;
    shifter.prepare(kRate, 1, 256);
    Signal signal{{tone(440.0, 0.5)}};
    std::vector<float> out(300, 7.0F);
    float* pointer = out.data();
    EXPECT_FALSE(shifter.render(257, &pointer, signal.source()));
    EXPECT_EQ(signal.position, 0);
    EXPECT_EQ(out, std::vector<float>(300, 7.0F));
    EXPECT_TRUE(shifter.render(256, &pointer, signal.source()));
    EXPECT_GT(signal.position, 256);
    EXPECT_LE(signal.largestSlice, 256U);
}

// The render thread sets every parameter between blocks while a control thread keeps moving
// the pitch: rendering stays allocation-free and race-free.
TEST(TimePitchShifter, RendersWithoutAllocatingWhileParametersChangeFromBothThreads) {
    TimePitchShifter shifter;
    shifter.prepare(kRate, 2, kBlock);
    // A tone, a cluster of close partials, a noise band and clicks: every path of the analysis.
    auto input = tone(330.0, 1.0);
    const auto band = denseBand(3000.0, 4000.0, 100, 1.0);
    for (std::size_t i = 0; i < input.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        for (const double hz : {440.0, 466.16, 493.88}) {
            input[i] += static_cast<float>(0.1 * std::sin(2.0 * std::numbers::pi * hz * t));
        }
        input[i] += 0.3F * band[i] + (i % 9000 == 0 ? 0.8F : 0.0F);
    }
    Signal signal{{input, input}};
    std::vector<float> left(kBlock);
    std::vector<float> right(kBlock);
    float* out[2] = {left.data(), right.data()};
    ASSERT_TRUE(shifter.render(kBlock, out, signal.source()));
    const std::jthread control([&shifter](const std::stop_token& stop) {
        for (int i = 0; !stop.stop_requested(); ++i) {
            shifter.setPitchCents(static_cast<float>(-(i % 32)));
            std::this_thread::yield();
        }
    });
    const brimo::testing::CountedAllocations counter;
    for (int b = 0; b < 60; ++b) {
        shifter.setPitchCents(static_cast<float>(-3 * b));
        shifter.setOverlap(b < 30 ? 32.0F : 3.0F);
        shifter.setPeakLocking(b % 2 == 0);
        shifter.setRate(b % 3 == 0 ? 1.002F : 0.75F);
        ASSERT_TRUE(shifter.render(kBlock, out, signal.source()));
    }
    EXPECT_EQ(counter.count(), 0U);
}

}  // namespace
}  // namespace brimo::timepitch
