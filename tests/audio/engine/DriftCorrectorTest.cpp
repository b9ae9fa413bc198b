#include <gtest/gtest.h>

#include <cmath>

#include "audio/engine/DriftCorrector.h"

using brimo::audio::DriftCorrector;

namespace {

// A ring buffer between a writer and a reader whose clocks differ by `ppm`, the reader's pace
// scaled by the corrector's rate, in 512-frame blocks for `seconds`.
struct DriftRun {
    double worstErrorSeconds = 0.0;
    double finalRate = 1.0;
};

DriftRun simulate(double ppm, double seconds) {
    constexpr double kRate = 48000.0;
    constexpr std::int64_t kTarget = 4800;
    DriftCorrector corrector;
    corrector.reset(kRate, kTarget);
    double fill = kTarget;
    double rate = 1.0;
    DriftRun run;
    const auto blocks = static_cast<std::int64_t>(seconds * kRate / 512);
    for (std::int64_t b = 0; b < blocks; ++b) {
        fill += 512.0 * (1.0 + ppm * 1e-6);  // the capture side's block
        fill -= 512.0 * rate;                // what the shifter consumed for one output block
        rate = corrector.update(static_cast<std::int64_t>(std::lround(fill)), 512);
        EXPECT_LE(std::fabs(rate - 1.0), DriftCorrector::kMaxTrim + 1e-12);
        if (b * 512 > 60 * kRate) {
            run.worstErrorSeconds =
                std::max(run.worstErrorSeconds, std::fabs(fill - kTarget) / kRate);
        }
    }
    run.finalRate = rate;
    return run;
}

}  // namespace

TEST(DriftCorrector, HoldsTheLookaheadAgainstClockDriftEitherWay) {
    for (const double ppm : {100.0, -100.0, 500.0, 0.0}) {
        const DriftRun run = simulate(ppm, 600.0);
        EXPECT_LT(run.worstErrorSeconds, 0.002) << ppm << " ppm";
        EXPECT_NEAR(run.finalRate, 1.0 + ppm * 1e-6, 2e-6) << ppm << " ppm";
    }
}

TEST(DriftCorrector, NeverTrimsBeyondItsLimitEvenWhenFarOff) {
    DriftCorrector corrector;
    corrector.reset(48000.0, 4800);
    for (int i = 0; i < 10000; ++i) {
        EXPECT_DOUBLE_EQ(corrector.update(24000, 512), 1.0 + DriftCorrector::kMaxTrim);
    }
    // And comes back without a wound-up integral holding it at the limit.
    double rate = 0.0;
    for (int i = 0; i < 2000; ++i) {
        rate = corrector.update(4800, 512);
    }
    EXPECT_NEAR(rate, 1.0, 1e-3);
}
