// The service as an operator runs it: one executable, a configuration file, start-up lines,
// HTTPS when configured, and a clean stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "support/TemporaryDirectory.h"
#include "support/TestService.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace brimo::server::testing {
namespace {

using namespace std::chrono_literals;

class ServerProcess {
  public:
    ServerProcess(const std::filesystem::path& dir, std::vector<std::string> args)
        : out_(dir / "stdout.txt"), err_(dir / "stderr.txt") {
        args.insert(args.begin(), BRIMO_SERVER_EXECUTABLE);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            throw std::runtime_error("cannot start the server");
        }
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The origin from "listening on …/api", or empty if the process ended first.
    std::string waitUntilListening() {
        static const std::regex line("listening on (https?://[^ \n]+)/api");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::smatch match;
            const std::string out = stdoutText();
            if (std::regex_search(out, match, line)) {
                return match[1].str();
            }
            if (exited()) {
                return {};
            }
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

    // Sends SIGTERM and returns the exit status (-1 when it had to be killed).
    int terminate() {
        kill(pid_, SIGTERM);
        return waitForExit();
    }
    int waitForExit() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (exited()) {
                return exitStatus_;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    [[nodiscard]] std::string stdoutText() const { return readFile(out_); }
    [[nodiscard]] std::string stderrText() const { return readFile(err_); }

  private:
    bool exited() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return pid_ < 0;
    }

    std::filesystem::path out_;
    std::filesystem::path err_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(ExecutableTest, StartsFromItsConfigFileServesAndStopsCleanlyOnSigterm) {
    brimo::testing::TemporaryDirectory dir;
    write(dir.path() / "server.json", R"({
        "listen": "127.0.0.1:0",
        "database": "state/accounts.sqlite",
        "maildir": "state/mail",
        "accessLog": "state/access.log",
        "passwordHashing": {"opsLimit": 1, "memLimitKiB": 8},
        "smtp": {"password": "never-printed-smtp-secret"},
        "version": {"version": "3.1.4", "downloadUrl": "https://example.org/d"}
    })");
    ServerProcess server(dir.path(), {"--config", "server.json"});
    const std::string origin = server.waitUntilListening();
    ASSERT_FALSE(origin.empty()) << server.stderrText();
    const std::string out = server.stdoutText();
    EXPECT_NE(out.find("mail: maildir " + (dir.path() / "state/mail").string()), std::string::npos)
        << out;
    EXPECT_NE(out.find("database: sqlite " + (dir.path() / "state/accounts.sqlite").string() +
                       " (schema version 1)"),
              std::string::npos)
        << out;

    httplib::Client client(origin);
    auto version = client.Get("/api/app/version");
    ASSERT_TRUE(version);
    EXPECT_EQ(nlohmann::json::parse(version->body)["version"], "3.1.4");
    auto registered = client.Post("/api/auth/register",
                                  R"({"email":"op@example.com","password":"operator-secret"})",
                                  "application/json");
    ASSERT_TRUE(registered);
    ASSERT_EQ(registered->status, 200);
    const std::string token = nlohmann::json::parse(registered->body)["token"];
    ASSERT_EQ(
        client
            .Post("/api/auth/forgot-password", R"({"email":"op@example.com"})", "application/json")
            ->status,
        200);
    ASSERT_EQ(waitForMails(dir.path() / "state/mail/new", 1).size(), 1U);

    EXPECT_EQ(server.terminate(), 0) << server.stderrText();
    EXPECT_NE(server.stdoutText().find("stopped"), std::string::npos);
    const std::string everything =
        server.stdoutText() + server.stderrText() + readFile(dir.path() / "state/access.log");
    for (const std::string& secret : std::vector<std::string>{
             std::string("operator-secret"), token, std::string("never-printed-smtp-secret")}) {
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(everything.find("\"path\":\"/api/auth/register\""), std::string::npos);

    // The accounts outlive the process.
    ServerProcess again(dir.path(), {"--config", "server.json"});
    const std::string origin2 = again.waitUntilListening();
    ASSERT_FALSE(origin2.empty()) << again.stderrText();
    httplib::Client client2(origin2);
    auto me = client2.Get("/api/user/me", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(me);
    EXPECT_EQ(me->status, 200);
    EXPECT_EQ(again.terminate(), 0);
}

TEST(ExecutableTest, ServesHttpsWithAConfiguredCertificate) {
    brimo::testing::TemporaryDirectory dir;
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        (dir.path() / "key.pem").string() + "' -out '" + (dir.path() / "cert.pem").string() +
        "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);  // NOLINT(concurrency-mt-unsafe): one thread
    write(dir.path() / "server.json", R"({
        "listen": "127.0.0.1:0", "database": "a.sqlite", "maildir": "mail",
        "tls": {"certificate": "cert.pem", "key": "key.pem"}
    })");
    ServerProcess server(dir.path(), {"--config", "server.json"});
    const std::string origin = server.waitUntilListening();
    ASSERT_TRUE(origin.starts_with("https://127.0.0.1:")) << origin << server.stderrText();

    httplib::SSLClient trusting("127.0.0.1", std::stoi(origin.substr(origin.rfind(':') + 1)));
    trusting.set_ca_cert_path((dir.path() / "cert.pem").c_str());
    trusting.enable_server_certificate_verification(true);
    auto version = trusting.Get("/api/app/version");
    ASSERT_TRUE(version) << httplib::to_string(version.error());
    EXPECT_EQ(version->status, 200);

    // Without the test CA the certificate is not trusted.
    httplib::SSLClient strict("127.0.0.1", std::stoi(origin.substr(origin.rfind(':') + 1)));
    strict.set_ca_cert_path("/nonexistent");
    strict.enable_server_certificate_verification(true);
    EXPECT_FALSE(strict.Get("/api/app/version"));
    EXPECT_EQ(server.terminate(), 0);
}

TEST(ExecutableTest, RefusesToStartOnSettingsThatAreUnsafeOrUnusable) {
    brimo::testing::TemporaryDirectory dir;
    {
        ServerProcess server(dir.path(), {"--listen", "0.0.0.0:0", "--database", "a.sqlite"});
        EXPECT_EQ(server.waitForExit(), 1);
        EXPECT_NE(server.stderrText().find("plain HTTP is served on loopback only"),
                  std::string::npos);
    }
    {
        ServerProcess server(dir.path(), {"--config", "missing.json"});
        EXPECT_EQ(server.waitForExit(), 1);
        EXPECT_NE(server.stderrText().find("cannot read missing.json"), std::string::npos);
    }
    {
        ServerProcess server(dir.path(), {"--frobnicate"});
        EXPECT_EQ(server.waitForExit(), 2);
    }
    {
        // A port another program holds.
        TestService holder("sqlite");
        const std::string port = holder.origin().substr(holder.origin().rfind(':') + 1);
        ServerProcess server(dir.path(), {"--listen", "127.0.0.1:" + port, "--database", "b.sqlite",
                                          "--maildir", "mail"});
        EXPECT_EQ(server.waitForExit(), 1);
        EXPECT_NE(server.stderrText().find("cannot listen on 127.0.0.1:" + port),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace brimo::server::testing
