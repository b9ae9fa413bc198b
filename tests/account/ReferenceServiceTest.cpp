// The client against the reference web service as the run command starts it: a process of its
// own on a free loopback port, with a SQLite file and a maildir in a temporary folder.
#include <gtest/gtest.h>

#include "account/support/AccountTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TemporaryDirectory.h"

namespace brimo::account {
namespace {

// The service with its version settings, and no other BRIMO_SERVER_ variable of the test's.
testing::ChildProcess startReferenceService(const std::filesystem::path& folder) {
    std::vector<std::string> environment{"BRIMO_SERVER_VERSION=9.10.0",
                                         "BRIMO_SERVER_RELEASE_NOTES=Faster sign-in.",
                                         "BRIMO_SERVER_DOWNLOAD_URL=https://example.org/dl"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("BRIMO_SERVER_")) {
            environment.emplace_back(*entry);
        }
    }
    return testing::ChildProcess(
        {{BRIMO_SERVER_EXECUTABLE, "--listen", "127.0.0.1:0", "--database",
          (folder / "accounts.sqlite").string(), "--maildir", (folder / "mail").string()},
         folder / "out.txt",
         "/dev/null",
         std::nullopt,
         environment});
}

class ReferenceServiceTest : public testing::AccountClientTest {};

TEST_F(ReferenceServiceTest, AnAccountIsMadeUsedRestoredAndSignedOut) {
    const testing::TemporaryDirectory folder;
    auto service = startReferenceService(folder.path());
    const std::string baseURL = service.waitForOutput(
        std::regex("listening on (http://[^ \n]+/api)"), std::chrono::seconds(60));
    ASSERT_FALSE(baseURL.empty());

    auto auth = makeAuth(baseURL);
    const std::string email = "Ada.Lovelace@Example.org";
    EXPECT_FALSE(run([&](auto done) { auth->checkEmail(email, done); }));
    EXPECT_FALSE(auth->error().value().has_value());
    ASSERT_TRUE(run([&](auto done) { auth->registerAccount(email, "correct horse", done); }));
    EXPECT_TRUE(auth->isAuthenticated().value());
    EXPECT_EQ(auth->user().value()->email, "ada.lovelace@example.org");
    EXPECT_TRUE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());

    // Restored at the next start from the stored token.
    auto restarted = makeAuth(baseURL);
    ASSERT_TRUE(
        testing::runMainQueueUntil(queue, [&] { return restarted->isAuthenticated().value(); }));
    EXPECT_EQ(restarted->user().value(), auth->user().value());

    // Signing out ends the session at the service too: the token no longer opens anything.
    const std::string token = *tokens->load(APIService::keychainService, APIService::tokenKey);
    restarted->logout();
    httplib::Client raw(baseURL.substr(0, baseURL.size() - 4));
    auto statusOfMe = [&] {
        auto me = raw.Get("/api/user/me", {{"Authorization", "Bearer " + token}});
        return me ? me->status : 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (statusOfMe() == 200 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(statusOfMe(), 401);
    EXPECT_TRUE(run([&](auto done) { restarted->checkEmail("ada.lovelace@example.org", done); }));
    EXPECT_FALSE(run([&](auto done) { restarted->login(email, "wrong password", done); }));
    ASSERT_TRUE(restarted->error().value().has_value());
    EXPECT_FALSE(restarted->error().value()->empty());
    EXPECT_TRUE(run([&](auto done) { restarted->login(email, "correct horse", done); }));
    EXPECT_FALSE(restarted->error().value().has_value());
    EXPECT_TRUE(run([&](auto done) { restarted->forgotPassword("nobody@example.org", done); }));

    auto checker = makeVersionCheck(baseURL, "9.9.0");
    ASSERT_TRUE(testing::runMainQueueUntil(
        queue, [&] { return checker->updateStatus().value() == UpdateStatus::updateAvailable(); }));
    EXPECT_EQ(checker->latestVersion().value(), "9.10.0");
    EXPECT_EQ(checker->releaseNotes().value(), "Faster sign-in.");
    EXPECT_EQ(checker->downloadURL().value(), "https://example.org/dl");

    expectNotPrinted({"correct horse"});
}

}  // namespace
}  // namespace brimo::account
