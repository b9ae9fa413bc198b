#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "dsp/timepitch/VectorLoops.h"
#include "dsp/timepitch/VectorMath.h"

namespace brimo::timepitch {
namespace {

using vectormath::kSinCosReach;

// |got − exact| in units of the last place of a float at the exact value (a subnormal's unit
// below the normal range).
double ulps(float got, double exact) {
    const double magnitude = std::max(std::abs(exact), 1.0 * std::numeric_limits<float>::min());
    const double unit = std::ldexp(1.0, std::ilogb(magnitude) - 23);
    return std::abs(static_cast<double>(got) - exact) / unit;
}

// The floats from `from` to `to` (positive), every `step`-th bit pattern, both ends included.
std::vector<float> floatsBetween(float from, float to, std::uint32_t step) {
    std::vector<float> values;
    const auto last = std::bit_cast<std::uint32_t>(to);
    for (auto bits = std::bit_cast<std::uint32_t>(from); bits < last; bits += step) {
        values.push_back(std::bit_cast<float>(bits));
    }
    values.push_back(to);
    return values;
}

struct Worst {
    double exact = 0.0;    // against the value in double precision
    double library = 0.0;  // against the library's float function
};

TEST(VectorMath, TakesLogarithmsOfEveryRatioAPeakGivesWithinHalfAnUlp) {
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here: the plain loops call the library";
    }
    // The neighbour-to-peak ratios, (0, 1] taken at least as the least normal float, every
    // 401st float of them; the ends, the mantissa's split at √½ and every power of two among
    // them, where an off-by-one exponent would show; then the rest of the normal range.
    constexpr float kLeast = std::numeric_limits<float>::min();
    std::vector<float> x = floatsBetween(kLeast, 1.0F, 401);
    for (int e = -126; e <= 0; ++e) {
        const float power = std::ldexp(1.0F, e);
        const float split = power * std::numbers::sqrt2_v<float> * 0.5F;
        for (const float v : {power, std::nextafter(power, 0.0F), split,
                              std::nextafter(split, 0.0F), std::nextafter(split, 2.0F)}) {
            if (v >= kLeast) {
                x.push_back(v);
            }
        }
    }
    for (const float v : floatsBetween(1.0F, std::numeric_limits<float>::max(), 100003)) {
        x.push_back(v);
    }
    std::vector<float> got(x.size());
    vectormath::logs(x.data(), got.data(), static_cast<int>(x.size()));
    Worst worst;
    for (std::size_t i = 0; i < x.size(); ++i) {
        worst.exact = std::max(worst.exact, ulps(got[i], std::log(static_cast<double>(x[i]))));
        worst.library = std::max(worst.library, ulps(got[i], std::log(x[i])));
        if (got[i] == 0.0F && x[i] != 1.0F) {
            ADD_FAILURE() << "ln " << x[i] << " came out 0";
        }
    }
    EXPECT_EQ(got.front(), std::log(kLeast));
    EXPECT_LE(worst.exact, 0.501);
    EXPECT_LE(worst.library, 1.0);
}

TEST(VectorMath, TurnsByAnyOffsetWithinHalfAnUlpAndLeavesTheUnreachableToTheLibrary) {
    if (!processorHasVectorLoops()) {
        GTEST_SKIP() << "no AVX2 here: the plain loops call the library";
    }
    // Wrapped offsets: a fine sweep of ±π and a bit beyond; the floats nearest the multiples of
    // π/2 (where a sine or cosine vanishes and only a reduction in more than float precision
    // keeps its digits); tiny ones and ±0; then far offsets out to the reach.
    std::vector<float> x;
    constexpr int kSweep = 1 << 20;
    for (int i = 0; i <= kSweep; ++i) {
        x.push_back(static_cast<float>(-3.3 + 6.6 * i / kSweep));
    }
    for (int k = -4; k <= 4; ++k) {
        const auto nearest = static_cast<float>(k * std::numbers::pi / 2.0);
        for (const float v :
             {nearest, std::nextafter(nearest, -10.0F), std::nextafter(nearest, 10.0F)}) {
            x.push_back(v);
        }
    }
    for (const float tiny : {0.0F, 1e-30F, 1e-20F, 3e-4F, std::numeric_limits<float>::min()}) {
        x.push_back(tiny);
        x.push_back(-tiny);
    }
    for (const float v : floatsBetween(3.3F, kSinCosReach, 997)) {
        x.push_back(v);
        x.push_back(-v);
    }
    std::vector<float> sine(x.size());
    std::vector<float> cosine(x.size());
    vectormath::sinCosines(x.data(), sine.data(), cosine.data(), static_cast<int>(x.size()));
    Worst worst;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const auto v = static_cast<double>(x[i]);
        worst.exact =
            std::max({worst.exact, ulps(sine[i], std::sin(v)), ulps(cosine[i], std::cos(v))});
        worst.library = std::max(
            {worst.library, ulps(sine[i], std::sin(x[i])), ulps(cosine[i], std::cos(x[i]))});
        // The sign of a zero offset's sine too: a turn by −0 is no turn either way.
        if (x[i] == 0.0F &&
            (sine[i] != 0.0F || std::signbit(sine[i]) != std::signbit(x[i]) || cosine[i] != 1.0F)) {
            ADD_FAILURE() << "turn by " << x[i] << ": " << cosine[i] << ", " << sine[i];
        }
    }
    EXPECT_LE(worst.exact, 0.501);
    EXPECT_LE(worst.library, 1.0);

    // Blocks with a lane past the reach, infinite or not a number go to the library whole, and
    // so does a tail of fewer than eight.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> odd = {0.5F,  2e6F, -1.0F, 3.0F,  1e30F, -inf, nan,
                                    0.25F, 1.0F, -2.0F, 3e38F, nan,   inf};
    std::vector<float> s(odd.size());
    std::vector<float> c(odd.size());
    vectormath::sinCosines(odd.data(), s.data(), c.data(), static_cast<int>(odd.size()));
    for (std::size_t i = 0; i < odd.size(); ++i) {
        if (std::isfinite(odd[i])) {
            EXPECT_EQ(s[i], std::sin(odd[i])) << odd[i];
            EXPECT_EQ(c[i], std::cos(odd[i])) << odd[i];
        } else {
            EXPECT_TRUE(std::isnan(s[i]) && std::isnan(c[i])) << odd[i];
        }
    }
}

}  // namespace
}  // namespace brimo::timepitch
