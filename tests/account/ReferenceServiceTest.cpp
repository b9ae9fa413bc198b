// The client against the reference web service as the run command starts it: a process of its
// own on a free loopback port, with a SQLite file and a maildir in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <regex>

#include "account/auth/AuthService.h"
#include "account/support/AccountTestSupport.h"
#include "account/update/VersionCheckService.h"
#include "platform/secrets/MemorySecretStore.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace brimo::account {
namespace {

using namespace std::chrono_literals;

class ReferenceService {
  public:
    explicit ReferenceService(const std::filesystem::path& folder) : output_(folder / "out.txt") {
        std::vector<std::string> arguments{BRIMO_SERVER_EXECUTABLE,
                                           "--listen",
                                           "127.0.0.1:0",
                                           "--database",
                                           (folder / "accounts.sqlite").string(),
                                           "--maildir",
                                           (folder / "mail").string()};
        std::vector<std::string> environment{"BRIMO_SERVER_VERSION=9.10.0",
                                             "BRIMO_SERVER_RELEASE_NOTES=Faster sign-in.",
                                             "BRIMO_SERVER_DOWNLOAD_URL=https://example.org/dl"};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string_view(*entry).rfind("BRIMO_SERVER_", 0) != 0) {
                environment.emplace_back(*entry);
            }
        }
        std::vector<char*> argv;
        std::vector<char*> envp;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        for (auto& variable : environment) {
            envp.push_back(variable.data());
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ReferenceService() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    // The base address it prints once it listens; empty if it never does.
    std::string waitForBaseURL() const {
        static const std::regex listening("listening on (http://[^ \n]+/api)");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            std::smatch match;
            const std::string text = testing::readFileText(output_);
            if (std::regex_search(text, match, listening)) {
                return match[1].str();
            }
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

  private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
};

TEST(ReferenceServiceTest, AnAccountIsMadeUsedRestoredAndSignedOut) {
    const testing::TemporaryDirectory folder;
    const ReferenceService service(folder.path());
    const std::string baseURL = service.waitForBaseURL();
    ASSERT_FALSE(baseURL.empty());

    dispatch::VirtualTimeMainQueue queue;
    auto tokens = std::make_shared<secrets::MemorySecretStore>();
    testing::LineCollector printed;
    auto makeAPI = [&] {
        APIService::Options options;
        options.mainQueue = &queue;
        options.baseURL = baseURL;
        options.tokenStore = tokens;
        options.print = printed.writer();
        return APIService::create(std::move(options));
    };
    auto makeAuth = [&] {
        AuthService::Options options;
        options.mainQueue = &queue;
        options.api = makeAPI();
        return AuthService::create(std::move(options));
    };
    auto run = [&](auto start) {
        std::optional<bool> outcome;
        start([&](bool value) { outcome = value; });
        EXPECT_TRUE(testing::runMainQueueUntil(queue, [&] { return outcome.has_value(); }));
        return outcome.value_or(false);
    };

    auto auth = makeAuth();
    const std::string email = "Ada.Lovelace@Example.org";
    EXPECT_FALSE(run([&](auto done) { auth->checkEmail(email, done); }));
    EXPECT_FALSE(auth->error().value().has_value());
    ASSERT_TRUE(run([&](auto done) { auth->registerAccount(email, "correct horse", done); }));
    EXPECT_TRUE(auth->isAuthenticated().value());
    EXPECT_EQ(auth->user().value()->email, "ada.lovelace@example.org");
    EXPECT_TRUE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());

    // Restored at the next start from the stored token.
    auto restarted = makeAuth();
    ASSERT_TRUE(
        testing::runMainQueueUntil(queue, [&] { return restarted->isAuthenticated().value(); }));
    EXPECT_EQ(restarted->user().value(), auth->user().value());

    restarted->logout();
    EXPECT_TRUE(run([&](auto done) { restarted->checkEmail("ada.lovelace@example.org", done); }));
    EXPECT_FALSE(run([&](auto done) { restarted->login(email, "wrong password", done); }));
    ASSERT_TRUE(restarted->error().value().has_value());
    EXPECT_FALSE(restarted->error().value()->empty());
    EXPECT_TRUE(run([&](auto done) { restarted->login(email, "correct horse", done); }));
    EXPECT_FALSE(restarted->error().value().has_value());
    EXPECT_TRUE(run([&](auto done) { restarted->forgotPassword("nobody@example.org", done); }));

    VersionCheckService::Options versionOptions;
    versionOptions.mainQueue = &queue;
    versionOptions.api = makeAPI();
    versionOptions.currentVersion = "9.9.0";
    versionOptions.print = printed.writer();
    auto checker = VersionCheckService::create(std::move(versionOptions));
    ASSERT_TRUE(testing::runMainQueueUntil(
        queue, [&] { return checker->updateStatus().value() == UpdateStatus::updateAvailable(); }));
    EXPECT_EQ(checker->latestVersion().value(), "9.10.0");
    EXPECT_EQ(checker->releaseNotes().value(), "Faster sign-in.");
    EXPECT_EQ(checker->downloadURL().value(), "https://example.org/dl");

    for (const auto& line : printed.lines()) {
        EXPECT_EQ(line.find("correct horse"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace brimo::account
