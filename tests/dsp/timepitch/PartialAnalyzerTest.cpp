#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <iostream>
#include <memory>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "dsp/timepitch/AnalysisTuning.h"
#include "dsp/timepitch/PartialAnalyzer.h"
#include "dsp/timepitch/RealFft.h"
#include "dsp/timepitch/SymmetricSolve.h"
#include "dsp/timepitch/VectorLoops.h"
#include "dsp/timepitch/WindowTransform.h"
#include "support/PinnedLoops.h"

namespace brimo::timepitch {
namespace {

constexpr int kFrame = 3072;
constexpr int kHop = 96;
constexpr int kBins = kFrame / 2 + 1;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct Sinusoid {
    double bins;  // frequency in analysis bins
    double amplitude;
    double phase;  // at sample 0
};

// The zero-phase Hann-windowed spectrum of a frame centred on sample `centre`, as the shifter
// hands it to the analyzer.
std::vector<std::complex<float>> spectrumAt(const std::vector<Sinusoid>& sines, long centre) {
    RealFft fft;
    fft.prepare(kFrame);
    for (int i = 0; i < kFrame; ++i) {
        const long t = centre - kFrame / 2 + i;
        double x = 0.0;
        for (const auto& s : sines) {
            x +=
                s.amplitude * std::cos(kTwoPi * s.bins * static_cast<double>(t) / kFrame + s.phase);
        }
        fft.input()[i] = static_cast<float>(x * (0.5 - 0.5 * std::cos(kTwoPi * i / kFrame)));
    }
    std::vector<std::complex<float>> spectrum(kBins);
    fft.forward(spectrum.data());
    for (int k = 1; k < kBins; k += 2) {
        spectrum[static_cast<std::size_t>(k)] = -spectrum[static_cast<std::size_t>(k)];
    }
    return spectrum;
}

// Analyses frame `f` of the sines, a hop after frame f - 1.
void analyseFrame(PartialAnalyzer& analyzer, const std::vector<Sinusoid>& sines, int f) {
    const auto spectrum = spectrumAt(sines, 4000 + static_cast<long>(f) * kHop);
    const std::complex<float>* channels[1] = {spectrum.data()};
    analyzer.analyze(channels, kHop, 1.0, 1.0, true);
}

// Runs `frames` frames of the sines through a fresh mono analyzer.
void analyse(PartialAnalyzer& analyzer, const std::vector<Sinusoid>& sines, int frames) {
    analyzer.prepare(kFrame, 1, 768);
    for (int f = 0; f < frames; ++f) {
        analyseFrame(analyzer, sines, f);
    }
}

int nearestPartial(const PartialAnalyzer& analyzer, double bins) {
    int best = -1;
    for (int j = 0; j < analyzer.partialCount(); ++j) {
        if (best < 0 || std::abs(analyzer.partial(j).bins - bins) <
                            std::abs(analyzer.partial(best).bins - bins)) {
            best = j;
        }
    }
    return best;
}

TEST(PhaseOf, AgreesWithTheLibrarysArgumentInEveryOctantAndOnTheAxes) {
    // Phase errors turn into frequency errors of the same order in bins: far below 1e-9.
    for (int step = 0; step < 720; ++step) {
        const double angle = -std::numbers::pi + kTwoPi * step / 720.0 + 1e-3;
        for (const double radius : {1e-20, 1.0, 1e20}) {
            const std::complex<double> z = std::polar(radius, angle);
            EXPECT_NEAR(analysis::phaseOf(z), std::arg(z), 1e-10) << angle;
        }
    }
    const double exact[][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}, {3, 3}, {-3, -3}};
    for (const auto& [re, im] : exact) {
        const std::complex<double> z{re, im};
        EXPECT_NEAR(std::abs(analysis::phaseOf(z)), std::abs(std::arg(z)), 1e-10) << z;
    }
}

TEST(WindowTransform, GivesAShiftsEightTapsValueForValueAsItsOwnLookupOnBothLoops) {
    // Shifts down and up, whole bins among them (the last tap then lies on the reach, where the
    // transform is zero), as the region moves take them, and a sweep of fractions fine enough
    // that a fused multiply-add in place of at()'s multiply and add would show.
    std::vector<double> shifts = {-27.9375, -13.0, -0.4, 0.0, 1e-9, 0.5, 3.999, 12.0};
    for (int k = 0; k < 20000; ++k) {
        shifts.push_back(-30.0 + k * 0.0030103);
    }
    for (const bool plain : {false, true}) {
        const PinnedLoops pinned(plain);
        WindowTransform taper;
        taper.prepare(kFrame, kBlackmanHarris, 4);
        int mismatches = 0;
        for (const double shift : shifts) {
            const int first = static_cast<int>(std::floor(shift)) - 3;
            float taps[8];
            taper.eightTaps(first, shift, 3072.0F, taps);
            for (int t = 0; t < 8; ++t) {
                if (taps[t] != taper.at(first + t - shift) / 3072.0F && mismatches++ < 5) {
                    ADD_FAILURE() << shift << " tap " << t << (plain ? " plain" : "");
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << (plain ? "plain" : "vector");
    }
}

TEST(SymmetricSolve, SolvesBandedSystemsForEveryRightHandSide) {
    // A tridiagonal system, as far partials leave them, with two right-hand sides.
    constexpr int kN = 5;
    double a[kN * kN] = {};
    for (int i = 0; i < kN * kN; ++i) {
        const int distance = std::abs(i / kN - i % kN);
        a[i] = distance > 1 ? 0.0 : 4.0 - 3.0 * distance;
    }
    const double x[2][kN] = {{1, -2, 3, 0.5, -1}, {0, 0, 1, 0, 0}};
    double rhs[2 * kN] = {};
    for (int r = 0; r < 2; ++r) {
        for (int i = 0; i < kN * kN; ++i) {
            rhs[r * kN + i / kN] += a[i] * x[r][i % kN];
        }
    }
    solveSymmetric(a, kN, rhs, 2);
    for (int i = 0; i < 2 * kN; ++i) {
        EXPECT_NEAR(rhs[i], x[i / kN][i % kN], 1e-7) << i;
    }
}

TEST(SymmetricSolve, SolvesFourSidesSideBySideToTheBitAsOneAfterAnother) {
    // The small sizes the solver unrolls and a larger one, in two bands that do not touch (rows
    // that start late), with sides of very different sizes; each solution also solves its system.
    for (const int n : {2, 3, 4, 6}) {
        double a[36] = {};
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                const bool sameBand = (2 * i < n) == (2 * j < n) || n < 4;
                a[i * n + j] = !sameBand ? 0.0 : i == j ? 3.0 + 0.1 * i : 1.0 / (1 + i + j);
            }
        }
        double apart[24];
        double sideBySide[6][4];
        for (int r = 0; r < 4; ++r) {
            for (int i = 0; i < n; ++i) {
                apart[r * n + i] = sideBySide[i][r] = std::sin(1.0 + 7 * r + i) * std::pow(1e3, r);
            }
        }
        double original[36];
        double factored[36];
        std::copy(a, a + n * n, original);
        std::copy(a, a + n * n, factored);
        solveSymmetric(factored, n, apart, 4);
        solveSymmetricFour(a, n, sideBySide);
        for (int r = 0; r < 4; ++r) {
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(sideBySide[i][r], apart[r * n + i])
                    << n << ": side " << r << " row " << i;
                double side = 0.0;
                for (int j = 0; j < n; ++j) {
                    side += original[i * n + j] * apart[r * n + j];
                }
                EXPECT_NEAR(side, std::sin(1.0 + 7 * r + i) * std::pow(1e3, r),
                            1e-6 * std::pow(1e3, r));
            }
        }
    }
}

TEST(SymmetricSolve, StaysFiniteOnASingularSystem) {
    // Two identical partials: the ridge splits the amplitude between them instead of blowing up.
    double a[4] = {1.0, 1.0, 1.0, 1.0};
    double rhs[2] = {2.0, 2.0};
    solveSymmetric(a, 2, rhs, 1);
    EXPECT_TRUE(std::isfinite(rhs[0]) && std::isfinite(rhs[1]));
    EXPECT_NEAR(rhs[0] + rhs[1], 2.0, 1e-6);
}

// Steady singles, and two 2.5 bins apart whose lobes merge into one but that the fit separates.
TEST(PartialAnalyzer, FindsSteadySinusoidsAlsoWithOverlappingLobesAndFollowsThem) {
    const std::vector<Sinusoid> singles = {
        {40.3, 0.5, 0.2}, {97.75, 0.1, 1.0}, {400.1, 0.02, -2.0}};
    const std::vector<Sinusoid> close = {{120.0, 0.3, 0.0}, {122.5, 0.2, 1.3}};
    for (const auto& [sines, frames, tolerance] :
         {std::tuple{singles, 12, 1e-3}, std::tuple{close, 24, 0.02}}) {
        PartialAnalyzer analyzer;
        analyse(analyzer, sines, frames);
        for (const auto& s : sines) {
            const int j = nearestPartial(analyzer, s.bins);
            ASSERT_GE(j, 0);
            const Partial& p = analyzer.partial(j);
            EXPECT_NEAR(p.bins, s.bins, tolerance);
            EXPECT_TRUE(p.isShifted) << s.bins;
            EXPECT_GE(p.age, 8) << s.bins;
            EXPECT_GE(p.previous, 0);
            // Its fitted amplitude is half the sinusoid's.
            EXPECT_NEAR(std::abs(analyzer.amplitude(j, 0)), 0.5 * s.amplitude,
                        tolerance * s.amplitude);
        }
        // Partials come in order of frequency.
        for (int j = 1; j < analyzer.partialCount(); ++j) {
            EXPECT_LE(analyzer.partial(j - 1).bins, analyzer.partial(j).bins);
        }
    }
}

TEST(PartialAnalyzer, KeepsEveryAmplitudeWithItsPartialWhenAnotherIsFound) {
    // A partial next to DC and one next to the Nyquist frequency (each with its mirror image)
    // and singles between; then one starts too close under a loud one to show a peak of its
    // own. Finding it re-sorts the list, and every amplitude must stay with its own partial.
    std::vector<Sinusoid> sines = {{3.4, 0.2, 0.3},
                                   {200.0, 0.3, 0.0},
                                   {350.2, 0.05, 1.0},
                                   {600.7, 0.1, -1.0},
                                   {1530.4, 0.05, 0.7}};
    PartialAnalyzer analyzer;
    analyzer.prepare(kFrame, 1, 768);
    for (int f = 0; f < 14; ++f) {
        if (f == 10) {
            sines.push_back({201.7, 0.1, 2.0});
        }
        analyseFrame(analyzer, sines, f);
        for (const auto& s : sines) {
            const int j = nearestPartial(analyzer, s.bins);
            ASSERT_GE(j, 0);
            if (f < 10 || std::abs(s.bins - 201.0) > 5.0) {
                EXPECT_NEAR(analyzer.partial(j).bins, s.bins, 0.05) << f << " " << s.bins;
                EXPECT_NEAR(std::abs(analyzer.amplitude(j, 0)), 0.5 * s.amplitude,
                            0.02 * s.amplitude)
                    << f << " " << s.bins;
            }
        }
    }
    // The new one is found and fitted too.
    const int j = nearestPartial(analyzer, 201.7);
    EXPECT_NEAR(analyzer.partial(j).bins, 201.7, 0.15);
    EXPECT_NEAR(std::abs(analyzer.amplitude(j, 0)), 0.05, 0.005);
}

TEST(PartialAnalyzer, FitsStereoGroupsWithTheVectorLoopsToTheBitAsWithThePlainOnes) {
    // Every kind of group: a single and a pair with mirror images next to DC, singles, a pair, a
    // triple and a run of six within each other's lobes (more than the loops keep in registers);
    // the channels hold them at different levels and phases. On the engine's grid, a sixth of a
    // frame, so that close partials' frequencies are solved every third frame; compared also right
    // after such a frame, before the amplitudes' single precision hides a frequency's last bits.
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here";
    }
    std::vector<Sinusoid> left = {{2.6, 0.2, 0.3},    {6.3, 0.1, 1.2},   {120.0, 0.3, 0.0},
                                  {240.3, 0.2, 1.0},  {242.5, 0.1, 2.0}, {600.2, 0.1, -1.0},
                                  {602.4, 0.08, 0.5}, {604.7, 0.05, 2.5}};
    for (int j = 0; j < 6; ++j) {
        left.push_back({800.0 + 2.2 * j + 0.1 * (j % 2), 0.02 * (j + 1), 0.4 * j});
    }
    std::vector<Sinusoid> right = left;
    for (std::size_t j = 0; j < right.size(); ++j) {
        right[j].amplitude *= 0.3 + 0.1 * static_cast<double>(j % 5);
        right[j].phase += 1.7 * static_cast<double>(j);
    }
    const auto analyse = [&](bool plain, int frames) {
        const PinnedLoops pinned(plain);
        auto analyzer = std::make_unique<PartialAnalyzer>();
        analyzer->prepare(kFrame, 2, 768);
        for (int f = 0; f < frames; ++f) {
            const long centre = 4000 + static_cast<long>(f) * kFrame / 6;
            auto l = spectrumAt(left, centre);
            auto r = spectrumAt(right, centre);
            // A faint noise floor, so that the close partials' fits leave enough unexplained
            // for their frequencies to be stepped.
            std::uint32_t seed = 12345U + static_cast<std::uint32_t>(f);
            const auto noise = [&seed] {
                seed = seed * 1664525U + 1013904223U;
                return 1e-3F *
                       (static_cast<float>(seed >> 8) / static_cast<float>(1U << 24) - 0.5F);
            };
            for (std::size_t k = 0; k < l.size(); ++k) {
                l[k] += std::complex<float>{noise(), noise()};
                r[k] += std::complex<float>{noise(), noise()};
            }
            const std::complex<float>* channels[2] = {l.data(), r.data()};
            analyzer->analyze(channels, kFrame / 6, 1.0, 1.0, true);
        }
        return analyzer;
    };
    for (const int frames : {1, 3, 6}) {
        const auto vector = analyse(false, frames);
        const auto plain = analyse(true, frames);
        ASSERT_EQ(vector->partialCount(), plain->partialCount());
        EXPECT_GE(plain->partialCount(), 10) << frames;
        for (int j = 0; j < plain->partialCount(); ++j) {
            EXPECT_EQ(vector->partial(j).bins, plain->partial(j).bins) << frames << " " << j;
            EXPECT_EQ(vector->partial(j).fitsWell, plain->partial(j).fitsWell);
            for (int c = 0; c < 2; ++c) {
                EXPECT_EQ(vector->amplitude(j, c), plain->amplitude(j, c))
                    << frames << " frames, partial " << j << " at " << plain->partial(j).bins;
            }
        }
    }
}

TEST(PartialAnalyzer, JudgesStereoFitsWithTheVectorLoopsToTheBitAsWithThePlainOnes) {
    // The judgement reads residuals the vector loops take while fitting (groups refitted after
    // their partials moved, alone and in pairs), while looking for hidden partials, and for
    // crowded groups with mirror images next to DC and the Nyquist frequency; partials found
    // hidden move the others' places. Frame after frame, both loops must leave every partial,
    // its judgement and its amplitudes the same, also after a frame with an infinite bin.
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here";
    }
    const auto sinesAt = [](int f, double level) {
        const double glide = 0.04 * f;
        std::vector<Sinusoid> sines = {{1.8, 0.2 * level, 0.3},
                                       {3.9, 0.15, 1.0},
                                       {6.1, 0.1 * level, 2.0},
                                       {8.4, 0.12, -1.0},
                                       {10.6, 0.08, 0.5},
                                       {400.0 + glide, 0.2 * level, 0.0},
                                       {402.6 + 0.8 * glide, 0.1, 1.5},
                                       {900.0 + glide, 0.3, 0.7},
                                       {500.2, 0.2, 0.4},
                                       {502.9, 0.1 * level, 1.9},
                                       {700.3, 0.25 * level, 2.2},
                                       {1200.0, 0.2 * level, 0.0},
                                       {1200.9, 0.15, 2.0},
                                       {kBins - 4.3, 0.1, 0.2},
                                       {kBins - 6.9, 0.08 * level, 1.1}};
        return sines;
    };
    using Snapshot =
        std::vector<std::tuple<double, bool, int, std::complex<float>, std::complex<float>>>;
    const auto run = [&](bool plain) {
        const PinnedLoops pinned(plain);
        auto analyzer = std::make_unique<PartialAnalyzer>();
        analyzer->prepare(kFrame, 2, 768);
        std::vector<Snapshot> frames;
        for (int f = 0; f < 10; ++f) {
            const long centre = 4000 + static_cast<long>(f) * kFrame / 6;
            auto l = spectrumAt(sinesAt(f, 1.0), centre);
            auto r = spectrumAt(sinesAt(f, 0.6), centre);
            if (f == 7) {
                l[401] = {HUGE_VALF, 0.0F};
            }
            const std::complex<float>* channels[2] = {l.data(), r.data()};
            analyzer->analyze(channels, kFrame / 6, 1.0, 1.0, true);
            Snapshot snapshot;
            for (int j = 0; j < analyzer->partialCount(); ++j) {
                const Partial& p = analyzer->partial(j);
                snapshot.emplace_back(p.bins, p.fitsWell, p.misfits, analyzer->amplitude(j, 0),
                                      analyzer->amplitude(j, 1));
            }
            frames.push_back(std::move(snapshot));
        }
        return frames;
    };
    const auto vector = run(false);
    const auto plain = run(true);
    ASSERT_EQ(vector.size(), plain.size());
    // Floats' bits, so that a NaN left by the infinite bin compares as well.
    const auto bits = [](std::complex<float> z) {
        return std::make_pair(std::bit_cast<std::uint32_t>(z.real()),
                              std::bit_cast<std::uint32_t>(z.imag()));
    };
    int fitting = 0;
    for (std::size_t f = 0; f < plain.size(); ++f) {
        ASSERT_EQ(vector[f].size(), plain[f].size()) << "frame " << f;
        for (std::size_t j = 0; j < plain[f].size(); ++j) {
            const auto& [bins, fitsWell, misfits, left, right] = vector[f][j];
            const auto& [plainBins, plainFitsWell, plainMisfits, plainLeft, plainRight] =
                plain[f][j];
            EXPECT_EQ(std::bit_cast<std::uint64_t>(bins), std::bit_cast<std::uint64_t>(plainBins))
                << "frame " << f << ", partial " << j;
            EXPECT_EQ(fitsWell, plainFitsWell) << "frame " << f << ", partial at " << plainBins;
            EXPECT_EQ(misfits, plainMisfits) << "frame " << f << ", partial at " << plainBins;
            EXPECT_EQ(bits(left), bits(plainLeft)) << "frame " << f << ", partial at " << plainBins;
            EXPECT_EQ(bits(right), bits(plainRight)) << "frame " << f << ", at " << plainBins;
            fitting += plainFitsWell ? 1 : 0;
        }
    }
    // The judgement had something to tell apart.
    EXPECT_GT(fitting, 20);
}

TEST(PartialAnalyzer, RegionsCoverTheBandAndEachHoldsItsPeak) {
    const std::vector<Sinusoid> sines = {
        {30.2, 0.4, 0.0}, {60.4, 0.2, 0.5}, {90.6, 0.1, 1.0}, {700.0, 0.05, 2.0}};
    PartialAnalyzer analyzer;
    analyse(analyzer, sines, 4);
    ASSERT_GT(analyzer.regionCount(), 0);
    EXPECT_EQ(analyzer.regionStart(0), 1);
    EXPECT_EQ(analyzer.regionEnd(analyzer.regionCount() - 1), kBins - 1);
    for (int r = 0; r < analyzer.regionCount(); ++r) {
        EXPECT_LT(analyzer.regionStart(r), analyzer.regionEnd(r));
        if (r > 0) {
            EXPECT_EQ(analyzer.regionStart(r), analyzer.regionEnd(r - 1));
        }
        const Partial& owner = analyzer.partial(analyzer.regionOwner(r));
        EXPECT_GE(owner.peakBin, analyzer.regionStart(r));
        EXPECT_LT(owner.peakBin, analyzer.regionEnd(r));
    }
    // A loud partial's region reaches down to the low point between it and its neighbour.
    const int j = nearestPartial(analyzer, 60.4);
    for (int r = 0; r < analyzer.regionCount(); ++r) {
        if (analyzer.regionOwner(r) == j) {
            EXPECT_GT(analyzer.regionStart(r), 31);
            EXPECT_LT(analyzer.regionStart(r), 60);
        }
    }
}

// A peak 65 dB below the loudest between two louder ones: at the 432 Hz shift their regions move
// its bins within a quarter bin of its own shift, so it needs none of its own; at a fifth down,
// or far from any other peak, it keeps one.
TEST(PartialAnalyzer, LeavesAFaintPeakToItsNeighboursOnlyWhereTheyMoveItAsItsOwnShiftWould) {
    const double faint = 0.5 * std::pow(10.0, -65.0 / 20.0);
    const std::vector<Sinusoid> sines = {{100.0, 0.5, 0.0},
                                         {105.3, faint, 1.0},
                                         {110.0, 0.5, 2.0},
                                         {600.3, faint, 0.5},
                                         {900.0, 0.5, 1.5}};
    const auto ownsRegion = [](const PartialAnalyzer& analyzer, int lo, int hi) {
        for (int r = 0; r < analyzer.regionCount(); ++r) {
            const int bin = analyzer.partial(analyzer.regionOwner(r)).peakBin;
            if (bin >= lo && bin <= hi) {
                return true;
            }
        }
        return false;
    };
    for (const double cents : {-31.766653, -700.0}) {
        const double ratio = std::exp2(cents / 1200.0);
        PartialAnalyzer analyzer;
        analyzer.prepare(kFrame, 1, 768);
        for (int f = 0; f < 4; ++f) {
            const auto spectrum = spectrumAt(sines, 4000 + static_cast<long>(f) * kHop);
            const std::complex<float>* channels[1] = {spectrum.data()};
            analyzer.analyze(channels, kHop, ratio, ratio, true);
        }
        EXPECT_EQ(ownsRegion(analyzer, 103, 108), cents < -100.0) << cents;
        EXPECT_TRUE(ownsRegion(analyzer, 599, 601)) << cents;
        for (const int loud : {100, 110, 900}) {
            EXPECT_TRUE(ownsRegion(analyzer, loud, loud)) << cents << " " << loud;
        }
    }
}

TEST(PartialAnalyzer, FindsWithThePlainLoopsTheSamePartialsAsWithTheVectorLoops) {
    // The peak search, the bins' power, the peaks' shapes and the phase advances run eight and
    // four at a time with AVX2. Three channels (not the stereo the engine's loops are fixed
    // for) of tones in noise, whose peaks reach into both ends and whose count is no multiple
    // of eight: every partial the same, but for the last bits of a frequency taken from the
    // shape, whose logarithms round on their own on the two loops.
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here: the plain loops are what every other test runs";
    }
    constexpr int kChannels = 3;
    const auto run = [](bool plain) {
        const PinnedLoops pinned(plain);
        PartialAnalyzer analyzer;
        analyzer.prepare(kFrame, kChannels, 768);
        std::vector<std::tuple<double, bool, double>> found;
        std::uint32_t seed = 7;
        for (int f = 0; f < 4; ++f) {
            std::vector<std::vector<std::complex<float>>> spectra;
            for (int c = 0; c < kChannels; ++c) {
                auto spectrum =
                    spectrumAt({{2.6, 0.3, 0.1 * c}, {700.2, 0.2, 1.0}, {1531.3, 0.1, 0.5 * c}},
                               4000 + static_cast<long>(f) * kHop);
                for (auto& bin : spectrum) {
                    seed = seed * 1664525U + 1013904223U;
                    bin += std::polar(static_cast<float>(seed >> 8U) / 16777216.0F,
                                      static_cast<float>(seed & 1023U));
                }
                spectra.push_back(std::move(spectrum));
            }
            const std::complex<float>* channels[kChannels] = {spectra[0].data(), spectra[1].data(),
                                                              spectra[2].data()};
            analyzer.analyze(channels, kHop, 1.0, 1.0, true);
            for (int j = 0; j < analyzer.partialCount(); ++j) {
                const Partial& p = analyzer.partial(j);
                found.emplace_back(p.bins, p.isNoise, p.advance);
            }
        }
        return found;
    };
    const auto vector = run(false);
    const auto plain = run(true);
    EXPECT_GT(vector.size(), 400U);
    ASSERT_EQ(plain.size(), vector.size());
    int mismatches = 0;
    for (std::size_t j = 0; j < vector.size(); ++j) {
        const auto& [bins, isNoise, advance] = vector[j];
        const auto& [plainBins, plainIsNoise, plainAdvance] = plain[j];
        if ((isNoise != plainIsNoise || std::abs(bins - plainBins) > 1e-6 ||
             std::abs(advance - plainAdvance) > 1e-6) &&
            mismatches++ < 5) {
            ADD_FAILURE() << "partial " << j << ": " << bins << " against " << plainBins;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(PartialAnalyzer, TracksStereoGlidesOnsetsAndNoiseWithTheVectorLoopsAsWithThePlainOnes) {
    // What the tracking's vector loops take over for the engine's stereo: the crowding marks
    // (noise with peaks every few bins), the measured phase advance and the frequencies it
    // moves (glides of a third and a twentieth of a bin per frame, so both kinds of step),
    // partials that start (a chord at an onset) and stop, and the moves of whole records.
    // Compared frame by frame; within 1e-6 bins where new peaks' shape logarithms round
    // apart, and otherwise the same.
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here: the plain loops are what every other test runs";
    }
    constexpr int kCrowded = 600;
    constexpr int kSparse = 680;
    struct Frame {
        std::vector<Partial> partials;
        std::vector<std::complex<float>> amplitudes;
        std::vector<std::int32_t> owners;
        double largestOffset = 0.0;
    };
    const auto run = [](bool plain) {
        const PinnedLoops pinned(plain);
        auto analyzer = std::make_unique<PartialAnalyzer>();
        analyzer->prepare(kFrame, 2, 768);
        std::vector<Frame> frames;
        std::uint32_t seed = 99;
        // The glides' phases at the frames' centres, carried on from frame to frame.
        const double glides[3][2] = {{90.0, 0.33}, {300.5, 0.05}, {900.2, -0.33}};
        double glidePhases[3] = {0.4, 1.0, 2.0};
        for (int f = 0; f < 12; ++f) {
            const long centre = 4000 + static_cast<long>(f) * kHop;
            std::vector<Sinusoid> sines = {{40.3, 0.3, 0.0}};
            for (int g = 0; g < 3; ++g) {
                const double bins = glides[g][0] + glides[g][1] * f;
                if (f > 0) {
                    glidePhases[g] += kTwoPi * (bins - 0.5 * glides[g][1]) * kHop / kFrame;
                }
                sines.push_back(
                    {bins, 0.2 / (g + 1),
                     glidePhases[g] - kTwoPi * bins * static_cast<double>(centre) / kFrame});
            }
            if (f < 7) {
                sines.push_back({500.7, 0.1, -1.0});
            }
            if (f >= 5) {
                for (const double bins : {160.2, 201.9, 240.4}) {
                    sines.push_back({bins, 0.08, 0.3 * bins});
                }
            }
            std::vector<std::vector<std::complex<float>>> spectra;
            for (int c = 0; c < 2; ++c) {
                auto channel = sines;
                for (auto& s : channel) {
                    s.amplitude *= c == 0 ? 1.0 : 0.6;
                    s.phase += 0.9 * c;
                }
                auto spectrum = spectrumAt(channel, centre);
                // Noise over the upper half of the band, loud enough to be peaks; below it, from
                // the tenth frame, two runs of lone bins two bins apart, of the fewest peaks
                // that crowd each other and of one fewer.
                const auto noise = [&seed](float level) {
                    seed = seed * 1664525U + 1013904223U;
                    return std::polar(level * static_cast<float>(seed >> 8U) / 16777216.0F,
                                      static_cast<float>(seed & 1023U));
                };
                for (std::size_t k = kBins / 2; k < spectrum.size(); ++k) {
                    spectrum[k] += noise(0.5F);
                }
                for (std::size_t k = 0; f >= 9 && k <= analysis::kCrowdPeaks; ++k) {
                    spectrum[static_cast<std::size_t>(kCrowded) + 2 * k] += noise(0.2F) + 0.3F;
                    if (k < analysis::kCrowdPeaks) {
                        spectrum[static_cast<std::size_t>(kSparse) + 2 * k] += noise(0.2F) + 0.3F;
                    }
                }
                spectra.push_back(std::move(spectrum));
            }
            const std::complex<float>* channels[2] = {spectra[0].data(), spectra[1].data()};
            analyzer->analyze(channels, kHop, 0.98, 0.98, true, f == 5 ? -200.0 : 0.0);
            Frame frame;
            frame.largestOffset = analyzer->largestOffset();
            for (int j = 0; j < analyzer->partialCount(); ++j) {
                frame.partials.push_back(analyzer->partial(j));
                frame.amplitudes.push_back(analyzer->amplitude(j, 0));
                frame.amplitudes.push_back(analyzer->amplitude(j, 1));
            }
            frame.owners.assign(analyzer->regionOwners(),
                                analyzer->regionOwners() + analyzer->regionCount());
            frames.push_back(std::move(frame));
        }
        return frames;
    };
    const auto vector = run(false);
    const auto plain = run(true);
    // Of the runs of lone bins, new when they come, those of the crowded one are taken for
    // noise, the others not.
    for (const Partial& p : plain.back().partials) {
        if (p.peakBin >= kCrowded && p.peakBin <= kCrowded + 2 * analysis::kCrowdPeaks) {
            EXPECT_TRUE(p.isNoise) << p.peakBin;
        }
        if (p.peakBin >= kSparse && p.peakBin < kSparse + 2 * analysis::kCrowdPeaks) {
            EXPECT_FALSE(p.isNoise) << p.peakBin;
        }
    }
    int mismatches = 0;
    const auto expect = [&mismatches](bool same, std::size_t f, std::size_t j, const char* what) {
        if (!same && mismatches++ < 8) {
            ADD_FAILURE() << "frame " << f << ", partial " << j << ": " << what;
        }
    };
    for (std::size_t f = 0; f < plain.size(); ++f) {
        const Frame& v = vector[f];
        const Frame& p = plain[f];
        ASSERT_EQ(v.partials.size(), p.partials.size()) << f;
        EXPECT_GT(p.partials.size(), 100U) << "noise peaks to crowd";
        EXPECT_EQ(v.owners, p.owners) << f;
        EXPECT_NEAR(v.largestOffset, p.largestOffset, 1e-6) << f;
        for (std::size_t j = 0; j < p.partials.size(); ++j) {
            const Partial& a = v.partials[j];
            const Partial& b = p.partials[j];
            expect(std::abs(a.bins - b.bins) <= 1e-6, f, j, "frequency");
            expect(std::abs(a.advance - b.advance) <= 1e-6, f, j, "phase advance");
            expect(std::abs(a.offset - b.offset) <= 1e-6, f, j, "phase offset");
            expect(a.previous == b.previous && a.age == b.age, f, j, "followed from");
            expect(a.isNoise == b.isNoise && a.isShifted == b.isShifted, f, j, "kind");
            expect(a.moved == b.moved, f, j, "moved");
            expect(std::abs(v.amplitudes[2 * j] - p.amplitudes[2 * j]) <= 1e-6F &&
                       std::abs(v.amplitudes[2 * j + 1] - p.amplitudes[2 * j + 1]) <= 1e-6F,
                   f, j, "amplitudes");
            // In order of frequency, as the next frame's matching walks them.
            expect(j == 0 || p.partials[j - 1].bins <= b.bins, f, j, "order");
        }
    }
    EXPECT_EQ(mismatches, 0);
    // The glides were followed (the slow one all along, a fraction of a bin behind, as the
    // measurements are averaged over an eighth of a frame), and at the onset new partials
    // started.
    const auto followed = [](const Frame& frame, double bins, double within, int age) {
        return std::any_of(frame.partials.begin(), frame.partials.end(), [=](const Partial& p) {
            return std::abs(p.bins - bins) < within && p.previous >= 0 && p.age >= age;
        });
    };
    EXPECT_TRUE(followed(plain.back(), 300.5 + 0.05 * 11, 0.25, 11));
    EXPECT_TRUE(followed(plain.back(), 90.0 + 0.33 * 11, 0.5, 1));
    EXPECT_TRUE(std::any_of(plain[5].partials.begin(), plain[5].partials.end(),
                            [](const Partial& p) { return std::abs(p.bins - 201.9) < 0.1; }));
}

TEST(PartialAnalyzer, FindsNothingInSilenceNorInAnImpulseKeepsALoneBinFiniteAndForgetsAllOnReset) {
    PartialAnalyzer analyzer;
    analyse(analyzer, {}, 3);
    EXPECT_EQ(analyzer.partialCount(), 0);
    EXPECT_EQ(analyzer.regionCount(), 0);
    // An impulse's spectrum is flat but for the transform's rounding, which depends on the
    // FFT's plan: its ripples are no peaks.
    std::vector<std::complex<float>> flat(kBins);
    std::uint32_t seed = 1;
    for (auto& bin : flat) {
        seed = seed * 1664525U + 1013904223U;
        bin = {0.25F * (1.0F + 1e-6F * static_cast<float>(seed >> 24U) / 256.0F), 0.0F};
    }
    const std::complex<float>* impulse[1] = {flat.data()};
    for (int f = 0; f < 2; ++f) {
        analyzer.analyze(impulse, kHop, 1.0, 1.0, true);
        EXPECT_EQ(analyzer.partialCount(), 0);
        EXPECT_EQ(analyzer.regionCount(), 0);
    }
    // A lone loud bin between one of no power and a denormal one: a finite frequency at it.
    std::vector<std::complex<float>> lone(kBins);
    lone[200] = {1e5F, 0.0F};
    lone[201] = {1e-20F, 0.0F};
    const std::complex<float>* loneBin[1] = {lone.data()};
    for (int f = 0; f < 2; ++f) {
        analyzer.analyze(loneBin, kHop, 1.0, 1.0, true);
        ASSERT_EQ(analyzer.partialCount(), 1);
        EXPECT_NEAR(analyzer.partial(0).bins, 200.0, 0.5);
    }
    for (int f = 3; f < 9; ++f) {
        analyseFrame(analyzer, {{50.0, 0.5, 0.0}}, f);
    }
    ASSERT_GT(analyzer.partialCount(), 0);
    analyzer.reset();
    // The very next frame of the same sinusoid: without the reset it would be followed.
    analyseFrame(analyzer, {{50.0, 0.5, 0.0}}, 9);
    const int j = nearestPartial(analyzer, 50.0);
    ASSERT_GE(j, 0);
    // New again: not followed, so not shifted as a partial yet.
    EXPECT_EQ(analyzer.partial(j).previous, -1);
    EXPECT_EQ(analyzer.partial(j).age, 0);
    EXPECT_FALSE(analyzer.partial(j).isShifted);
}

}  // namespace
}  // namespace brimo::timepitch
