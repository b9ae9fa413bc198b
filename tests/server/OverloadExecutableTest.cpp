// A burst of logins against the executable as an operator runs it: what the hashers cannot
// work off within queueSeconds is refused at once, what is admitted is answered within about
// that, and requests that hash nothing are served throughout.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/FileText.h"
#include "support/ServerProcess.h"
#include "support/TemporaryDirectory.h"

namespace brimo::server::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Answer {
    int status = 0;  // 0: none within the client's time-out
    int retryAfter = 0;
    double seconds = 0;
};

Answer timedLogin(const std::string& origin, const std::string& body) {
    httplib::Client client(origin);
    client.set_read_timeout(30s);  // the application's own time-out
    const auto start = Clock::now();
    auto res = client.Post("/api/auth/login", body, "application/json");
    Answer answer;
    answer.seconds = secondsSince(start);
    if (res) {
        answer.status = res->status;
        const std::string retryAfter = res->get_header_value("Retry-After");
        answer.retryAfter = retryAfter.empty() ? 0 : std::stoi(retryAfter);
    }
    return answer;
}

// Polls health and the signed-in user until told to stop: the slowest answer, or a large
// number when one failed.
class CheapRequests {
  public:
    CheapRequests(const std::string& origin, const std::string& token)
        : thread_([this, origin, token] { poll(origin, token); }) {}
    ~CheapRequests() { finish(); }
    CheapRequests(const CheapRequests&) = delete;
    CheapRequests& operator=(const CheapRequests&) = delete;

    double finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return slowest_;
    }

  private:
    void poll(const std::string& origin, const std::string& token) {
        httplib::Client client(origin);
        client.set_read_timeout(30s);
        const httplib::Headers bearer = {{"Authorization", "Bearer " + token}};
        while (!done_) {
            for (const bool me : {false, true}) {
                const auto start = Clock::now();
                auto res = me ? client.Get("/api/user/me", bearer) : client.Get("/api/health");
                const double seconds = res && res->status == 200 ? secondsSince(start) : 1e9;
                slowest_ = std::max(slowest_.load(), seconds);
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    std::atomic<bool> done_{false};
    std::atomic<double> slowest_{0.0};
    std::thread thread_;
};

TEST(ExecutableOverloadTest, LoginsBeyondTheHashingQueueAre503AtOnceAndTheAdmittedAnswerInTime) {
    brimo::testing::TemporaryDirectory dir;
    // One hasher at tens of milliseconds a hash and a second of queue (some 30 logins), and
    // far fewer workers than logins, all from one address.
    constexpr double kQueueSeconds = 1.0;
    brimo::testing::writeFileText(dir.path() / "server.json", R"({
        "listen": "127.0.0.1:0", "database": "accounts.sqlite", "maildir": "mail",
        "accessLog": "off", "threads": 4, "connections": {"perClient": 0},
        "passwordHashing": {"opsLimit": 1, "memLimitKiB": 65536, "concurrency": 1,
                            "queueSeconds": 1}
    })");
    ServerProcess server(dir.path(), {"--config", "server.json"});
    const std::string origin = server.waitUntilListening();
    ASSERT_FALSE(origin.empty()) << server.errors();
    const std::string credentials = R"({"email":"ada@example.com","password":"the password"})";
    httplib::Client client(origin);
    auto registered = client.Post("/api/auth/register", credentials, "application/json");
    ASSERT_TRUE(registered && registered->status == 200);

    CheapRequests cheap(origin, nlohmann::json::parse(registered->body)["token"]);
    constexpr int kLogins = 128;
    std::vector<std::future<Answer>> burst;
    burst.reserve(kLogins);
    for (int i = 0; i < kLogins; ++i) {
        burst.push_back(std::async(std::launch::async, timedLogin, origin, credentials));
    }
    int served = 0;
    int refused = 0;
    int refusedWithoutRetryAfter = 0;
    int unexpected = 0;
    double slowest = 0;
    double slowestRefusal = 0;
    for (auto& login : burst) {
        const Answer answer = login.get();
        slowest = std::max(slowest, answer.seconds);
        if (answer.status == 503) {
            ++refused;
            refusedWithoutRetryAfter += answer.retryAfter >= 1 ? 0 : 1;
            slowestRefusal = std::max(slowestRefusal, answer.seconds);
        } else {
            served += answer.status == 200 ? 1 : 0;
            unexpected += answer.status == 200 ? 0 : 1;
        }
    }
    const double slowestCheap = cheap.finish();
    EXPECT_GT(refused, 0);
    EXPECT_GT(served, 0);
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(refusedWithoutRetryAfter, 0);
    // Generous bounds: a loaded machine under a sanitizer, against a second of queue.
    EXPECT_LT(slowestRefusal, 2.0);
    EXPECT_LT(slowest, kQueueSeconds + 3.0);
    EXPECT_LT(slowestCheap, 1.0);
    EXPECT_EQ(server.terminate(), 0) << server.errors();
}

}  // namespace
}  // namespace brimo::server::testing
