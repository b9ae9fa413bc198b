#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/FileText.h"
#include "support/TemporaryDirectory.h"
#include "ui/lifecycle/CrashGuard.h"
#include "ui/lifecycle/guard/GuardState.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX names it nowhere else

namespace brimo::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A stand-in guard: records what it reads, its session, and that it saw the end.
fs::path writeStandIn(const fs::path& folder) {
    auto program = folder / "guard";
    std::ofstream(program) << "#!/bin/sh\n"
                           << "ps -o sid= -p $$ | tr -d ' ' > '" << (folder / "session").string()
                           << "'\n"
                           << "cat > '" << (folder / "heard").string() << "'\n"
                           << "echo ended > '" << (folder / "ended").string() << "'\n";
    fs::permissions(program, static_cast<fs::perms>(0755));
    return program;
}

bool waitFor(const fs::path& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (fs::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The guard hears the lines in order, runs in a session of its own, and sees the end of the
// application at once, even while another child the application started (pkexec, a browser)
// is still running: that child must not have inherited the application's end of the socket.
TEST(CrashGuard, TheGuardHearsTheApplicationAndItsEndDespiteOtherChildren) {
    testing::TemporaryDirectory folder;
    auto guard = CrashGuard::start(writeStandIn(folder.path()));
    ASSERT_NE(guard, nullptr);
    guard->reportOutput("speakers");
    guard->reportOutput("bad\nline");  // refused: it would read as two lines
    guard->reportOutput("");
    guard->cleanQuit();

    std::string sleepPath = "/bin/sleep";
    std::string seconds = "5";
    char* arguments[] = {sleepPath.data(), seconds.data(), nullptr};
    pid_t other = -1;
    ASSERT_EQ(::posix_spawn(&other, sleepPath.c_str(), nullptr, nullptr, arguments, environ), 0);

    ASSERT_TRUE(waitFor(folder.path() / "session", 2000ms));
    guard.reset();
    EXPECT_TRUE(waitFor(folder.path() / "ended", 1000ms));
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);

    EXPECT_EQ(testing::readFileText(folder.path() / "heard"), "output speakers\noutput \nquit\n");
    EXPECT_NE(std::stoi(testing::readFileText(folder.path() / "session")), ::getsid(0));
}

TEST(CrashGuard, AProgramThatCannotStartLeavesTheApplicationUnguarded) {
    EXPECT_EQ(CrashGuard::start("/nonexistent/brimolavetrix-guard"), nullptr);
}

// What the guard makes of the lines: the last output counts, and only a quit cancels.
TEST(GuardState, OnlyAnEndWithoutTheQuitAndWithAnOutputIsHandedBack) {
    guard::GuardState state;
    EXPECT_FALSE(state.mustRestore());
    state.apply("output speakers");
    state.apply("output headphones");
    state.apply("volume 2");
    EXPECT_EQ(state.outputUid, "headphones");
    EXPECT_TRUE(state.mustRestore());
    state.apply("output ");
    EXPECT_FALSE(state.mustRestore());
    state.apply("output speakers");
    state.apply("quit");
    EXPECT_FALSE(state.mustRestore());
}

}  // namespace
}  // namespace brimo::ui
