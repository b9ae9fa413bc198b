#include <gtest/gtest.h>

#include "audio/devices/AudioDevice.h"

using brimo::audio::AudioDevice;

TEST(AudioDevice, ClassifiesByNameOrUidIgnoringCase) {
    EXPECT_TRUE((AudioDevice{1, "Brimola Vetrix", "x", true, true}.isBrimolavetrix()));
    EXPECT_TRUE((AudioDevice{1, "BRIMOLAVETRIX", "x", true, true}.isBrimolavetrix()));
    EXPECT_TRUE((AudioDevice{1, "Loopback", "brimola_vetrix", true, true}.isBrimolavetrix()));
    EXPECT_TRUE((AudioDevice{1, "BlackHole 2ch", "x", true, true}.isBlackHole()));
    EXPECT_TRUE((AudioDevice{1, "x", "BlackHole16ch_UID", true, false}.isVirtualLoopback()));
    EXPECT_FALSE((AudioDevice{1, "Brimo La Vetrix", "speakers", false, true}.isVirtualLoopback()));
    // Unicode lower-casing: a capital with a diacritic still compares as its small letter.
    EXPECT_TRUE((AudioDevice{1, "ÉCOUTE BRIMOLA", "x", true, true}.isBrimolavetrix()));
}
