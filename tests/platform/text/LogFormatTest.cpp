#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/text/LogFormat.h"

using namespace brimo::text;

TEST(LogFormat, DoublesAreShortestRoundTripWithAFractionalPart) {
    // A glide 440 -> 432 in ten steps of a 64-bit running sum prints every last bit.
    const double step = (432.0 - 440.0) / 10.0;
    const double thirdStep = 440.0 + step + step + step;
    const double backUp = 432.0 - step - step - step;
    const std::vector<std::pair<double, std::string>> cases = {
        {48000.0, "48000.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.5, "0.5"},
        {1e16, "1e+16"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {std::nan(""), "nan"},
        {thirdStep, "437.59999999999997"},
        {backUp, "434.40000000000003"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(formatDouble(value), text);
    }
}

TEST(LogFormat, FloatsUseSinglePrecisionShortestFormAndStatusesTheirSignedValue) {
    const float cents = static_cast<float>(1200.0 * std::log2(432.0 / 440.0));
    EXPECT_EQ(formatFloat(cents), "-31.766653");
    EXPECT_EQ(formatFloat(1.0F), "1.0");
    // The 64-bit rendering of the same value would show noise digits.
    EXPECT_NE(formatDouble(static_cast<double>(cents)), "-31.766653");

    EXPECT_EQ(formatStatus(-10851), "-10851");
    // Four-character status codes are positive 32-bit values and print as such.
    EXPECT_EQ(formatStatus(0x77686F3F), "2003332927");
}
