#include <gtest/gtest.h>

#include <unordered_set>

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

TEST(AudioDevice, EqualityAndHashCoverEveryFieldWhileIdentityIsTheId) {
    const AudioDevice before{7, "Speakers", "uid-7", false, true};
    const AudioDevice renamed{7, "Desk Speakers", "uid-7", false, true};
    EXPECT_NE(before, renamed);
    EXPECT_EQ(before.id, renamed.id);
    const std::unordered_set<AudioDevice> set{before, renamed, before};
    EXPECT_EQ(set.size(), 2U);
}
