#include <gtest/gtest.h>

#include <string>

#include "platform/log/UnifiedLog.h"

using brimo::log::Logger;

TEST(UnifiedLog, WithoutAJournalEntriesReachStandardErrorWithSubsystemAndCategory) {
    if (brimo::log::journalIsReachable()) {
        GTEST_SKIP() << "a journal is reachable here; entries go there";
    }
    const Logger logger("com.brimolavetrix", "AudioDeviceService");
    testing::internal::CaptureStderr();
    logger.error("Failed to get device name: 2003332927 — “Brimola Vetrix”");
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written,
              "com.brimolavetrix[AudioDeviceService] error: Failed to get device name: "
              "2003332927 — “Brimola Vetrix”\n");
}
