#include <gtest/gtest.h>

#include <string>

#include "platform/process/ProcessRunner.h"

using brimo::process::runProgram;

TEST(ProcessRunner, CapturesBothStreamsAndTheExitCodeWithoutAShell) {
    // The argument reaches the program as one word, quotes and all.
    const std::string tricky = "it's \"quoted\" $HOME; rm -rf /";
    const auto result =
        runProgram({"sh", "-c", "printf '%s' \"$1\"; echo oops >&2; exit 3", "sh", tricky});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output, tricky);
    EXPECT_EQ(result.errorText, "oops\n");
}

TEST(ProcessRunner, LargeOutputOnBothStreamsDoesNotBlock) {
    const auto result =
        runProgram({"sh", "-c", "head -c 200000 /dev/zero; head -c 200000 /dev/zero >&2"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output.size(), 200000U);
    EXPECT_EQ(result.errorText.size(), 200000U);
}

TEST(ProcessRunner, AMissingProgramIsAFailureWithAReason) {
    const auto result = runProgram({"brimolavetrix-no-such-program"});
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_NE(result.errorText.find("brimolavetrix-no-such-program"), std::string::npos);
    EXPECT_EQ(runProgram({}).exitStatus, -1);
}
