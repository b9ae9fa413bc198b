#include <gtest/gtest.h>

#include "account/support/AccountTestSupport.h"
#include "account/update/RunningVersion.h"
#include "account/update/VersionCheckService.h"
#include "account/update/VersionOrdering.h"

namespace brimo::account {
namespace {

using testing::ScriptedHttpServer;

std::string versionAnswer(const std::string& version, const std::string& url) {
    return R"({"version":")" + version + R"(","releaseNotes":"Notes for )" + version +
           R"(","downloadUrl":")" + url + R"(","forceUpdate":false})";
}

TEST(VersionOrderingTest, DigitRunsCompareByValue) {
    EXPECT_TRUE(isNewerVersion("1.10.0", "1.9.2"));
    EXPECT_TRUE(isNewerVersion("2.0", "1.9.9"));
    EXPECT_TRUE(isNewerVersion("1.2.10", "1.2.9"));
    EXPECT_TRUE(isNewerVersion("1.0.1", "1.0"));
    EXPECT_FALSE(isNewerVersion("1.0.0", "1.0.0"));
    EXPECT_FALSE(isNewerVersion("1.9.2", "1.10.0"));
    EXPECT_EQ(compareVersions("1.01", "1.1"), std::strong_ordering::equal);
    EXPECT_TRUE(isNewerVersion("1.123456789012345678901234567890", "1.99999999999999999999"));
    EXPECT_TRUE(isNewerVersion("1.0b", "1.0a"));
    EXPECT_EQ(versionOrDefault(""), "1.0.0");  // a build without a version
}

class VersionCheckServiceTest : public testing::AccountClientTest {
  protected:
    void check(VersionCheckService& service) {
        bool done = false;
        service.checkForUpdates([&] { done = true; });
        EXPECT_EQ(service.updateStatus().value(), UpdateStatus::checking());
        ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return done; }));
    }
};

TEST_F(VersionCheckServiceTest, TheFirstCheckRunsAtCreationUnlessTheCheckerIsGone) {
    routes.set("/api/app/version",
               ScriptedHttpServer::json(200, versionAnswer("1.2.10", "https://example.org/dl")));
    ScriptedHttpServer server(routes.script());
    makeVersionCheck(server.baseURL(), "1.2.9").reset();
    queue.runUntilIdle();
    EXPECT_TRUE(server.requests().empty());

    auto service = makeVersionCheck(server.baseURL(), "1.2.9");
    EXPECT_EQ(service->updateStatus().value(), UpdateStatus::idle());
    ASSERT_TRUE(testing::runMainQueueUntil(
        queue, [&] { return service->updateStatus().value() == UpdateStatus::updateAvailable(); }));
    EXPECT_TRUE(service->isUpdateAvailable().value());
    EXPECT_EQ(service->latestVersion().value(), "1.2.10");
    EXPECT_EQ(service->releaseNotes().value(), "Notes for 1.2.10");
    EXPECT_EQ(service->downloadURL().value(), "https://example.org/dl");
    EXPECT_EQ(printed.lines().back(), "Current: 1.2.9, Remote: 1.2.10, Update Available: true");
}

TEST_F(VersionCheckServiceTest, OutcomesOfLaterChecks) {
    routes.set("/api/app/version",
               ScriptedHttpServer::json(200, versionAnswer("2.0.0", "https://example.org/dl")));
    ScriptedHttpServer server(routes.script());
    auto service = makeVersionCheck(server.baseURL(), "1.9.9");
    // The check made at creation ends first: overlapping checks each write their own results
    // whenever they finish, and the server may answer them in either order.
    ASSERT_TRUE(testing::runMainQueueUntil(
        queue, [&] { return service->updateStatus().value() == UpdateStatus::updateAvailable(); }));
    ASSERT_EQ(server.requests().size(), 1U);

    // A failure keeps what the last success found.
    routes.set("/api/app/version", ScriptedHttpServer::text(500, "text/html", "<h1>oops</h1>"));
    check(*service);
    EXPECT_EQ(service->updateStatus().value(), UpdateStatus::error("HTTP Error: 500"));
    EXPECT_TRUE(service->isUpdateAvailable().value());
    EXPECT_EQ(service->latestVersion().value(), "2.0.0");
    EXPECT_EQ(printed.lines().back(),
              "Error checking for updates: APIError.httpError(statusCode: 500)");

    routes.set("/api/app/version",
               ScriptedHttpServer::json(200, R"({"version":"3.0","releaseNotes":"",)"
                                             R"("downloadUrl":"https://example.org/"})"));
    check(*service);
    EXPECT_EQ(service->updateStatus().value(),
              UpdateStatus::error("Failed to decode response: Missing key \"forceUpdate\"."));

    // An address that is not a web address is not handed on; the rest still updates.
    routes.set("/api/app/version",
               ScriptedHttpServer::json(200, versionAnswer("1.9.9", "javascript:alert(1)")));
    check(*service);
    EXPECT_EQ(service->updateStatus().value(), UpdateStatus::upToDate());
    EXPECT_FALSE(service->isUpdateAvailable().value());
    EXPECT_EQ(service->latestVersion().value(), "1.9.9");
    EXPECT_EQ(service->downloadURL().value(), "https://example.org/dl");

    EXPECT_EQ(printed.lines().back(), "Current: 1.9.9, Remote: 1.9.9, Update Available: false");
}

TEST_F(VersionCheckServiceTest, AServersTextsReachTheConsoleWithTheirControlsEscaped) {
    // A hostile server's version and error texts: a screen clear, a title change, a forged line.
    routes.set("/api/app/version",
               ScriptedHttpServer::json(200, versionAnswer(R"(2.0\u001b[2J\u001b]0;pwned\u0007)",
                                                           "https://example.org/dl")));
    ScriptedHttpServer server(routes.script());
    auto service = makeVersionCheck(server.baseURL(), "1.0");
    ASSERT_TRUE(testing::runMainQueueUntil(
        queue, [&] { return service->updateStatus().value() == UpdateStatus::updateAvailable(); }));
    EXPECT_EQ(printed.lines().back(),
              R"(Current: 1.0, Remote: 2.0\x1b[2J\x1b]0;pwned\x07, Update Available: true)");

    routes.set("/api/app/version",
               ScriptedHttpServer::json(400, R"({"error":"no\u001b[31m\nCurrent: 9\u009b"})"));
    check(*service);
    EXPECT_EQ(
        printed.lines().back(),
        R"(Error checking for updates: APIError.serverError("no\x1b[31m\nCurrent: 9\u009b"))");
}

}  // namespace
}  // namespace brimo::account
