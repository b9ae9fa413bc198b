#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/browser/DesktopEntry.h"
#include "platform/browser/SingleInstanceChannel.h"
#include "support/ChildProcess.h"
#include "support/TemporaryDirectory.h"

namespace brimo::testing {
namespace {

// The browser's redirect as the desktop runs it: the application's own executable with the
// link, while a window holds the channel. The started process must hand the link over and end
// at once with status 0, before it opens a window or touches the sound.
TEST(SignInHandOffTest, ASecondStartHandsItsLinkToTheRunningWindowAndEnds) {
    const TemporaryDirectory runtime;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> links;
    browser::SingleInstanceChannel::Options options;
    options.folder = runtime.path() / "brimolavetrix";
    options.onMessage = [&](std::string message) {
        const std::lock_guard guard(mutex);
        links.push_back(std::move(message));
        arrived.notify_all();
    };
    auto window = browser::SingleInstanceChannel::claim(std::move(options));
    ASSERT_NE(window, nullptr);

    const std::string scheme = "com.googleusercontent.apps.000000000000-brimolavetrixplaceholder";
    const browser::DesktopEntry entry{"com.brimolavetrix.Brimolavetrix", BRIMO_APPLICATION, scheme};
    ASSERT_NE(entry.text().find("\nExec=\"" + std::string(BRIMO_APPLICATION) + "\" %u\n"),
              std::string::npos);
    const std::string link = scheme + ":/oauth2callback?code=4%2Fabc&scope=email";
    ChildProcess redirect({.arguments = {BRIMO_APPLICATION, link},
                           .output = runtime.path() / "output",
                           .errors = {},
                           .directory = {},
                           // No display and no audio server: a process that went on to start
                           // a window would fail, not hand over.
                           .environment = std::vector<std::string>{
                               "XDG_RUNTIME_DIR=" + runtime.path().string(),
                               "HOME=" + runtime.path().string(), "PATH=/usr/bin:/bin"}});
    EXPECT_EQ(redirect.waitForExit(std::chrono::seconds(30)), 0);
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(20), [&] { return !links.empty(); });
    EXPECT_EQ(links, std::vector<std::string>{link});
    EXPECT_EQ(readFileText(runtime.path() / "output"), "");
}

}  // namespace
}  // namespace brimo::testing
