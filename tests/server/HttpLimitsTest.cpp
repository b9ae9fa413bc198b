// The connection layer under attack: oversize bodies and heads, slow and endless requests,
// connection floods. Each is refused with its status (an ErrorResponse where the head was read)
// or cut, and the service goes on answering everyone else.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "support/LoopbackSocket.h"
#include "support/TestService.h"

namespace brimo::server::testing {
namespace {

using brimo::testing::LoopbackSocket;
using namespace std::chrono_literals;

constexpr std::uint32_t kOtherClient = 0x7F000002;  // 127.0.0.2: a client of its own

const std::string kHealth = "GET /api/health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

bool closedByPeer(const LoopbackSocket& socket) {
    char byte = 0;
    const ssize_t n = ::recv(socket.fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Sends `head` and then `filler` until `total` bytes went out or the server stopped taking
// them; returns how many it took and what it answered.
std::pair<std::size_t, std::string> flood(int port, const std::string& head,
                                          const std::string& filler, std::size_t total) {
    const auto socket = LoopbackSocket::connectedTo(port);
    std::size_t sent = 0;
    std::string chunk = head;
    while (sent < total) {
        const ssize_t n = ::send(socket.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
        chunk = filler;
    }
    return {sent, socket.receive("", 5s).value_or("")};
}

TEST(HttpLimitsTest, OversizeBodiesAndHeadsAreRefusedWithTheirStatus) {
    TestService service("sqlite");
    const int port = service.port();
    struct Case {
        const char* what;
        std::string request;
        const char* status;
    };
    std::string chunked =
        "POST /api/auth/check-email HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 32; ++i) {  // 2 MiB in 64 KiB chunks
        chunked += "10000\r\n" + std::string(65536, 'a') + "\r\n";
    }
    chunked += "0\r\n\r\n";
    std::string manyHeaders = "GET /api/health HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100; ++i) {
        manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
    }
    const std::vector<Case> cases = {
        // Refused on the stated length alone: the body is never sent.
        {"stated",
         "POST /api/auth/check-email HTTP/1.1\r\nHost: x\r\nContent-Length: 8388608\r\n"
         "Content-Type: application/json\r\n\r\n",
         "HTTP/1.1 413"},
        {"chunked", chunked, "HTTP/1.1 413"},
        {"header count", manyHeaders + "\r\n", "HTTP/1.1 431"},
        {"header size",
         "GET /api/health HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n",
         "HTTP/1.1 431"},
        {"request line", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414"},
    };
    for (const auto& c : cases) {
        const auto socket = LoopbackSocket::connectedTo(port);
        socket.send(c.request);
        const std::string answer = socket.receive("", 5s).value_or("(kept open)");
        EXPECT_TRUE(answer.starts_with(c.status)) << c.what << ": " << answer.substr(0, 200);
        EXPECT_NE(answer.find("{\"error\":"), std::string::npos) << c.what;
    }

    // Heads past the connection's memory: refused after a few KiB, not read on and on.
    constexpr std::size_t kEndless = 64 << 20;
    const std::vector<std::tuple<const char*, std::string, std::string, const char*>> floods = {
        {"40 000 headers", "GET /api/health HTTP/1.1\r\nHost: x\r\n",
         "X-Header: value-value-value-value-value\r\n", "HTTP/1.1 431"},
        {"endless header line", "GET /api/health HTTP/1.1\r\nHost: x\r\nX-Endless: ",
         std::string(65536, 'e'), "HTTP/1.1 431"},
        {"endless request line", "GET /", std::string(65536, 'a'), "HTTP/1.1 414"},
    };
    for (const auto& [what, head, filler, status] : floods) {
        const auto [sent, answer] = flood(port, head, filler, kEndless);
        EXPECT_LT(sent, kEndless) << what;
        // The answer may be lost to the reset of a connection closed with bytes unread.
        EXPECT_TRUE(answer.empty() || answer.starts_with(status)) << what << ": " << answer;
    }
    EXPECT_EQ(service.get("/api/health")->status, 200);
}

TEST(HttpLimitsTest, SlowClientsHoldNoWorkerWhileOthersAreServed) {
    TestService service("sqlite");  // 16 workers
    constexpr int kSlow = 40;
    std::vector<LoopbackSocket> slow;
    for (int i = 0; i < kSlow; ++i) {
        slow.push_back(LoopbackSocket::connectedTo(service.port()));
        slow.back().send("POST /api/auth/login HTTP/1.1\r\nHost: x\r\n");
    }
    for (int round = 0; round < 6; ++round) {
        for (const auto& s : slow) {
            s.send("X-Slow: 1\r\n");
        }
        // The quick route and one on the worker pool (an unknown token: 401) both answer.
        for (const std::string& request :
             {kHealth, std::string("GET /api/user/me HTTP/1.1\r\nHost: x\r\n"
                                   "Authorization: Bearer nope\r\nConnection: close\r\n\r\n")}) {
            const auto client = LoopbackSocket::connectedTo(service.port(), true, kOtherClient);
            client.send(request);
            const auto answer = client.receive("\r\n", 1s);
            ASSERT_TRUE(answer.has_value()) << "round " << round << ": no answer within 1 s";
            EXPECT_TRUE(answer->starts_with("HTTP/1.1 200") || answer->starts_with("HTTP/1.1 401"))
                << *answer;
        }
        std::this_thread::sleep_for(200ms);
    }
    for (const auto& s : slow) {
        EXPECT_FALSE(closedByPeer(s));  // slow, but within the deadline: still waited for
    }
}

TEST(HttpLimitsTest, ARequestStillArrivingAtItsDeadlineIsCut) {
    ServiceTweaks tweaks;
    tweaks.http.requestSeconds = 1;
    TestService service("sqlite", tweaks);
    const auto trickle = LoopbackSocket::connectedTo(service.port());
    trickle.send("GET /api/health HTTP/1.1\r\nHost: x\r\n");
    const auto start = std::chrono::steady_clock::now();
    bool cut = false;
    while (!cut && std::chrono::steady_clock::now() - start < 10s) {
        trickle.send("X-Trickle: 1\r\n");  // never idle, never complete
        std::this_thread::sleep_for(100ms);
        cut = closedByPeer(trickle);
    }
    EXPECT_TRUE(cut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(service.get("/api/health")->status, 200);
}

TEST(HttpLimitsTest, ConnectionFloodsAreCappedPerClientAndOverall) {
    auto opened = [](const TestService& service, int count) {
        std::vector<LoopbackSocket> sockets;
        for (int i = 0; i < count; ++i) {
            sockets.push_back(LoopbackSocket::connectedTo(service.port()));
        }
        std::this_thread::sleep_for(300ms);
        return sockets;
    };
    auto healthFrom = [](const TestService& service, std::uint32_t from,
                         std::chrono::milliseconds wait = 5s) {
        const auto client = LoopbackSocket::connectedTo(service.port(), true, from);
        client.send(kHealth);
        return client.receive("\r\n", wait).value_or("").starts_with("HTTP/1.1 200");
    };
    {
        ServiceTweaks tweaks;
        tweaks.http.connectionsPerClient = 8;
        TestService service("sqlite", tweaks);
        const auto flood = opened(service, 20);
        const auto closed = std::count_if(flood.begin(), flood.end(), closedByPeer);
        EXPECT_EQ(closed, 12);
        EXPECT_TRUE(healthFrom(service, kOtherClient));
        // The connections kept are served as usual.
        const auto kept = std::find_if_not(flood.begin(), flood.end(), closedByPeer);
        ASSERT_NE(kept, flood.end());
        kept->send(kHealth);
        EXPECT_TRUE(kept->receive("\r\n", 5s).value_or("").starts_with("HTTP/1.1 200"));
    }
    {
        ServiceTweaks tweaks;
        tweaks.http.connections = 10;
        TestService service("sqlite", tweaks);
        {
            const auto flood = opened(service, 10);
            // Every slot taken: not accepted (or closed at once).
            EXPECT_FALSE(healthFrom(service, kOtherClient, 1s));
        }
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(healthFrom(service, kOtherClient));  // and free again once they close
    }
}

}  // namespace
}  // namespace brimo::server::testing
