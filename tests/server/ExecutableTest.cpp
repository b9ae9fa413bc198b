// The service as an operator runs it: one executable, a configuration file, start-up lines,
// HTTPS when configured, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>

#include <chrono>
#include <regex>
#include <thread>
#include <tuple>

#include "account/support/TestCertificates.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSocket.h"
#include "support/ServerProcess.h"
#include "support/TemporaryDirectory.h"
#include "support/TestService.h"

namespace brimo::server::testing {
namespace {

using namespace std::chrono_literals;

int portOf(const std::string& origin) {
    return std::stoi(origin.substr(origin.rfind(':') + 1));
}

TEST(ExecutableTest, StartsFromItsConfigFileServesAndStopsCleanlyOnSigterm) {
    brimo::testing::TemporaryDirectory dir;
    brimo::testing::writeFileText(dir.path() / "server.json", R"({
        "listen": "127.0.0.1:0",
        "database": "state/accounts.sqlite",
        "maildir": "state/mail",
        "accessLog": "state/access.log",
        "passwordHashing": {"opsLimit": 1, "memLimitKiB": 8},
        "smtp": {"password": "never-printed-smtp-secret"},
        "version": {"version": "3.1.4", "releaseNotes": "Smoother fades.",
                    "downloadUrl": "https://example.org/d", "forceUpdate": true}
    })");
    ServerProcess server(dir.path(), {"--config", "server.json"});
    const std::string origin = server.waitUntilListening();
    ASSERT_FALSE(origin.empty()) << server.errors();
    for (const std::string& line :
         {"mail: maildir " + (dir.path() / "state/mail").string(),
          "database: sqlite " + (dir.path() / "state/accounts.sqlite").string() +
              " (schema version 2)"}) {
        EXPECT_NE(server.output().find(line), std::string::npos) << server.output();
    }

    httplib::Client client(origin);
    auto version = client.Get("/api/app/version");
    ASSERT_TRUE(version);
    EXPECT_EQ(nlohmann::json::parse(version->body),
              nlohmann::json({{"version", "3.1.4"},
                              {"releaseNotes", "Smoother fades."},
                              {"downloadUrl", "https://example.org/d"},
                              {"forceUpdate", true}}));
    auto registered = client.Post("/api/auth/register",
                                  R"({"email":"op@example.com","password":"operator-secret"})",
                                  "application/json");
    ASSERT_TRUE(registered && registered->status == 200);
    const std::string token = nlohmann::json::parse(registered->body)["token"];
    auto forgot = client.Post("/api/auth/forgot-password", R"({"email":"op@example.com"})",
                              "application/json");
    ASSERT_TRUE(forgot && forgot->status == 200);
    ASSERT_EQ(waitForMails(dir.path() / "state/mail/new", 1).size(), 1U);

    EXPECT_EQ(server.terminate(), 0) << server.errors();
    EXPECT_NE(server.output().find("stopped"), std::string::npos);
    const std::string everything =
        server.output() + server.errors() + readFileText(dir.path() / "state/access.log");
    for (const std::string& secret : std::vector<std::string>{
             std::string("operator-secret"), token, std::string("never-printed-smtp-secret")}) {
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(everything.find("\"path\":\"/api/auth/register\""), std::string::npos);

    // The accounts outlive the process.
    ServerProcess again(dir.path(), {"--config", "server.json"});
    const std::string origin2 = again.waitUntilListening();
    ASSERT_FALSE(origin2.empty()) << again.errors();
    httplib::Client client2(origin2);
    auto me = client2.Get("/api/user/me", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(me);
    EXPECT_EQ(me->status, 200);
    EXPECT_EQ(again.terminate(), 0);
}

TEST(ExecutableTest, ABurstOfNewConnectionsWaitsWhileTheServerIsBusyAndIsThenServed) {
    // Every client reconnecting at once after a restart: handshakes that do not fit the listen
    // backlog are dropped and retried only a second or more later.
    brimo::testing::TemporaryDirectory dir;
    ServerProcess server(
        dir.path(), {"--listen", "127.0.0.1:0", "--database", "a.sqlite", "--maildir", "mail"});
    const std::string origin = server.waitUntilListening();
    ASSERT_FALSE(origin.empty()) << server.errors();
    const int port = portOf(origin);

    constexpr int kBurst = 64;
    server.signal(SIGSTOP);  // while stopped it accepts nothing
    std::vector<brimo::testing::LoopbackSocket> burst;
    for (int i = 0; i < kBurst; ++i) {
        burst.push_back(brimo::testing::LoopbackSocket::connectedTo(port, false));
    }
    // The kernel completes the handshakes that fit the backlog, accepting or not; the rest
    // never complete while the server is stopped.
    int established = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (established < kBurst && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const auto& c : burst) {
            fds.push_back(pollfd{c.fd(), POLLOUT, 0});
        }
        ::poll(fds.data(), fds.size(), 100);
        established = static_cast<int>(std::count_if(
            fds.begin(), fds.end(), [](const pollfd& p) { return (p.revents & POLLOUT) != 0; }));
    }
    server.signal(SIGCONT);
    EXPECT_EQ(established, kBurst);
    for (const auto& c : burst) {
        c.send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const std::string answer = c.receive("\r\n").value_or("(no answer)");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    }
    EXPECT_EQ(server.terminate(), 0) << server.errors();
}

TEST(ExecutableTest, ServesHttpsWithAConfiguredCertificate) {
    brimo::testing::TemporaryDirectory dir;
    const auto certificates = brimo::testing::TestCertificates::makeIn(dir.path());
    brimo::testing::writeFileText(dir.path() / "server.json", R"({
        "listen": "127.0.0.1:0", "database": "a.sqlite", "maildir": "mail",
        "tls": {"certificate": "server.pem", "key": "server.key"}
    })");
    ServerProcess server(dir.path(), {"--config", "server.json"});
    const std::string origin = server.waitUntilListening();
    ASSERT_TRUE(origin.starts_with("https://127.0.0.1:")) << origin << server.errors();

    // Trusted with the authority that signed its certificate only.
    for (const auto& [ca, status] : std::vector<std::pair<std::filesystem::path, int>>{
             {certificates.authority, 200}, {certificates.otherAuthority, 0}}) {
        httplib::SSLClient client("127.0.0.1", portOf(origin));
        client.set_ca_cert_path(ca.c_str());
        client.enable_server_certificate_verification(true);
        auto version = client.Get("/api/app/version");
        EXPECT_EQ(version ? version->status : 0, status)
            << ca << httplib::to_string(version.error());
        if (version) {  // browsers opening a reset link keep to HTTPS from then on
            EXPECT_EQ(version->get_header_value("Strict-Transport-Security"), "max-age=31536000");
        }
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST(ExecutableTest, RefusesToStartOnSettingsThatAreUnsafeOrUnusable) {
    brimo::testing::TemporaryDirectory dir;
    const auto holder = brimo::testing::LoopbackSocket::bound();  // a port another program holds
    const std::string held = "127.0.0.1:" + std::to_string(holder.port());
    // Reset links sign in: a plain address for them only on this machine.
    brimo::testing::writeFileText(
        dir.path() / "plain-links.json",
        R"({"listen": "127.0.0.1:0", "publicUrl": "http://accounts.example.org"})");
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> refusals = {
        {{"--listen", "0.0.0.0:0", "--database", "a.sqlite"},
         1,
         "plain HTTP is served on loopback only"},
        {{"--config", "missing.json"}, 1, "cannot read missing.json"},
        {{"--config", "plain-links.json"}, 1, "\"publicUrl\" must be https://"},
        {{"--frobnicate"}, 2, ""},
        {{"--listen", held, "--database", "b.sqlite", "--maildir", "mail"},
         1,
         "cannot listen on " + held},
    };
    for (const auto& [args, status, message] : refusals) {
        ServerProcess server(dir.path(), args);
        EXPECT_EQ(server.waitForExit(), status) << args[0];
        EXPECT_NE(server.errors().find(message), std::string::npos) << server.errors();
    }
}

}  // namespace
}  // namespace brimo::server::testing
