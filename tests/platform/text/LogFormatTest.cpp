#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/text/LogFormat.h"

using namespace brimo::text;

TEST(LogFormat, DoublesAreShortestRoundTripWithAFractionalPart) {
    EXPECT_EQ(formatDouble(48000.0), "48000.0");
    EXPECT_EQ(formatDouble(44100.0), "44100.0");
    EXPECT_EQ(formatDouble(440.0), "440.0");
    EXPECT_EQ(formatDouble(0.0), "0.0");
    EXPECT_EQ(formatDouble(-0.0), "-0.0");
    EXPECT_EQ(formatDouble(0.5), "0.5");
    EXPECT_EQ(formatDouble(1e16), "1e+16");
    EXPECT_EQ(formatDouble(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(formatDouble(std::nan("")), "nan");
}

TEST(LogFormat, FadeRunningSumPrintsEveryLastBit) {
    // A glide 440 -> 432 in ten steps of a 64-bit running sum.
    const char* expected[] = {"439.2",
                              "438.4",
                              "437.59999999999997",
                              "436.79999999999995",
                              "435.99999999999994",
                              "435.19999999999993",
                              "434.3999999999999",
                              "433.5999999999999",
                              "432.7999999999999"};
    double value = 440.0;
    const double step = (432.0 - 440.0) / 10.0;
    for (const char* text : expected) {
        value += step;
        EXPECT_EQ(formatDouble(value), text);
    }
    value = 432.0;
    for (int i = 0; i < 3; ++i) {
        value += -step;
    }
    EXPECT_EQ(formatDouble(value), "434.40000000000003");
}

TEST(LogFormat, FloatsUseSinglePrecisionShortestForm) {
    const float cents = static_cast<float>(1200.0 * std::log2(432.0 / 440.0));
    EXPECT_EQ(formatFloat(cents), "-31.766653");
    EXPECT_EQ(formatFloat(0.0F), "0.0");
    EXPECT_EQ(formatFloat(1.0F), "1.0");
    EXPECT_EQ(formatFloat(2.0F), "2.0");
    // The 64-bit rendering of the same value would show noise digits.
    EXPECT_NE(formatDouble(static_cast<double>(cents)), "-31.766653");
}

TEST(LogFormat, BooleansIdsAndStatuses) {
    EXPECT_EQ(formatBool(true), "true");
    EXPECT_EQ(formatBool(false), "false");
    EXPECT_EQ(formatDeviceId(62), "62");
    EXPECT_EQ(formatDeviceId(std::numeric_limits<std::uint32_t>::max()), "4294967295");
    EXPECT_EQ(formatStatus(0), "0");
    EXPECT_EQ(formatStatus(-10851), "-10851");
    // Four-character status codes are positive 32-bit values and print as such.
    EXPECT_EQ(formatStatus(0x77686F3F), "2003332927");
}
