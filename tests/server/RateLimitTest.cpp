// Guessing is limited by failures, per address and client network and per client network,
// without locking the owner out; requests that mail are limited per address and per client.
#include <gtest/gtest.h>

#include "accounts/ClientNetwork.h"
#include "accounts/RateLimiter.h"
#include "support/BackendTest.h"

namespace brimo::server::testing {
namespace {

using nlohmann::json;

// A client of `service` that connects from `address` (any of 127.0.0.0/8).
httplib::Result postFrom(const TestService& service, const std::string& address,
                         const std::string& path, const json& body) {
    auto c = service.client();
    c.set_interface(address);
    return c.Post(path.c_str(), body.dump(), "application/json");
}

const json kOwner = {{"email", "owner@example.com"}, {"password", "the real one"}};
const json kGuess = {{"email", "OWNER@example.com"}, {"password", "a guess"}};

TEST(RateLimitTest, AnAttackersFailuresLimitTheAttackerAndNeverTheOwner) {
    ServiceTweaks tweaks;
    tweaks.rateLimits = noRateLimits();
    tweaks.rateLimits.perAddress = 5;  // one failure back every 180 s
    tweaks.rateLimits.perAddressWindowSeconds = 900;
    tweaks.rateLimits.failuresPerClient = 8;
    tweaks.rateLimits.failuresPerClientWindowSeconds = 900;
    TestService service("sqlite", tweaks);
    service.registerAccount("owner@example.com", "the real one");
    const std::string attacker = "127.0.0.2";
    const std::string owner = "127.0.0.3";

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(postFrom(service, attacker, "/api/auth/login", kGuess)->status, 400);
    }
    auto limited = postFrom(service, attacker, "/api/auth/login", kGuess);
    ASSERT_EQ(limited->status, 429);
    EXPECT_EQ(bodyOf(limited)["error"],
              "Too many attempts. Please wait a few minutes and try again.");
    EXPECT_EQ(limited->get_header_value("Retry-After"), "180");
    // Refused before the password is looked at: the right one is no better from there.
    EXPECT_EQ(postFrom(service, attacker, "/api/auth/login", kOwner)->status, 429);

    // The owner, elsewhere, signs in and asks for a reset mail.
    auto signedIn = postFrom(service, owner, "/api/auth/login", kOwner);
    ASSERT_EQ(signedIn->status, 200);
    EXPECT_EQ(service.get("/api/user/me", bodyOf(signedIn)["token"])->status, 200);
    EXPECT_EQ(
        postFrom(service, owner, "/api/auth/forgot-password", {{"email", "owner@example.com"}})
            ->status,
        200);
    EXPECT_EQ(waitForMails(service.maildir() / "new", 1).size(), 1U);

    // The attacker keeps at it, one guess each time one comes back: still the owner is in.
    for (int round = 0; round < 2; ++round) {
        service.advanceClock(180);
        EXPECT_EQ(postFrom(service, attacker, "/api/auth/login", kGuess)->status, 400);
        EXPECT_EQ(postFrom(service, attacker, "/api/auth/login", kGuess)->status, 429);
        EXPECT_EQ(postFrom(service, owner, "/api/auth/login", kOwner)->status, 200);
    }

    // Other addresses from the attacker's network draw on the client's own budget of
    // failures, 4.2 of 8 left by now.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(postFrom(service, attacker, "/api/auth/login",
                           {{"email", "someone" + std::to_string(i) + "@example.com"},
                            {"password", "guess"}})
                      ->status,
                  400);
    }
    EXPECT_EQ(postFrom(service, attacker, "/api/auth/login",
                       {{"email", "someone.else@example.com"}, {"password", "guess"}})
                  ->status,
              429);
    // The owner's own mistyping is forgiven once they get in.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(postFrom(service, owner, "/api/auth/login", kGuess)->status, 400);
    }
    EXPECT_EQ(postFrom(service, owner, "/api/auth/login", kOwner)->status, 200);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(postFrom(service, owner, "/api/auth/login", kGuess)->status, 400) << i;
    }
}

TEST(RateLimitTest, ResetMailsAreLimitedPerAddressAndRequestsPerClient) {
    ServiceTweaks tweaks;
    tweaks.rateLimits = noRateLimits();
    tweaks.rateLimits.mailsPerAddress = 2;
    tweaks.rateLimits.mailsPerAddressWindowSeconds = 3600;
    tweaks.rateLimits.perClient = 5;
    tweaks.rateLimits.perClientWindowSeconds = 60;
    TestService service("sqlite", tweaks);
    service.registerAccount("owner@example.com", "the real one");
    const json forgot = {{"email", "owner@example.com"}};
    EXPECT_EQ(postFrom(service, "127.0.0.2", "/api/auth/forgot-password", forgot)->status, 200);
    EXPECT_EQ(postFrom(service, "127.0.0.3", "/api/auth/forgot-password", forgot)->status, 200);
    auto spent = postFrom(service, "127.0.0.4", "/api/auth/forgot-password", forgot);
    EXPECT_EQ(spent->status, 429);
    EXPECT_EQ(spent->get_header_value("Retry-After"), "1800");
    EXPECT_EQ(waitForMails(service.maildir() / "new", 2).size(), 2U);

    // Made-up addresses cost no mail budget, only the client's requests (5 a minute).
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(postFrom(service, "127.0.0.5", "/api/auth/forgot-password",
                           {{"email", "made.up." + std::to_string(i) + "@example.com"}})
                      ->status,
                  200);
    }
    auto busy = postFrom(service, "127.0.0.5", "/api/auth/check-email", forgot);
    EXPECT_EQ(busy->status, 200);
    EXPECT_EQ(postFrom(service, "127.0.0.5", "/api/auth/check-email", forgot)->status, 429);
    service.advanceClock(3600);
    EXPECT_EQ(postFrom(service, "127.0.0.6", "/api/auth/forgot-password", forgot)->status, 200);
}

TEST(RateLimitTest, BehindATrustedProxyClientsAreCountedByTheAddressItForwards) {
    ServiceTweaks tweaks;
    tweaks.rateLimits = noRateLimits();
    tweaks.rateLimits.perAddress = 2;
    tweaks.trustedProxies = {"127.0.0.1"};
    TestService service("sqlite", tweaks);
    service.registerAccount("owner@example.com", "the real one");
    auto loginVia = [&](const std::string& forwardedFor, const json& credentials) {
        auto c = service.client();
        return c.Post("/api/auth/login", {{"X-Forwarded-For", forwardedFor}}, credentials.dump(),
                      "application/json");
    };
    // What a client writes into the header itself stands before what the proxy appends.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(loginVia("198.51.100.7, 203.0.113.9", kGuess)->status, 400);
    }
    EXPECT_EQ(loginVia("203.0.113.9", kOwner)->status, 429);
    EXPECT_EQ(loginVia("198.51.100.7", kOwner)->status, 200);
    // Texts that are no address share one key per client: a table of made-up long keys
    // cannot be grown by them.
    for (int i = 0; i < 2; ++i) {
        const json junk = {{"email", std::to_string(i) + std::string(900, 'x')}, {"password", "p"}};
        EXPECT_EQ(loginVia("192.0.2.50", junk)->status, 400);
    }
    EXPECT_EQ(loginVia("192.0.2.50", {{"email", "not an address"}, {"password", "p"}})->status,
              429);
}

TEST(RateLimiterTest, AFloodOfMadeUpKeysNeitherGrowsTheTableNorFreesASpentKey) {
    constexpr std::size_t kRoom = 100000;
    RateLimiter limiter(8, 1024, kRoom);  // one back every 128 s
    double now = 1024.0;
    for (int i = 0; i < 8; ++i) {
        limiter.spend("victim", now);
    }
    ASSERT_EQ(limiter.wait("victim", now), 128U);
    // More made-up keys than there is room for, each spending one, over the next 54 s.
    for (std::size_t i = 0; i < kRoom + 10000; ++i) {
        now += 1.0 / 2048;
        ASSERT_EQ(limiter.acquire("made-up-" + std::to_string(i), now), 0U);
    }
    EXPECT_EQ(limiter.size(), kRoom);
    EXPECT_EQ(limiter.wait("victim", 1088.0), 64U);  // half its token is back after 64 s
    EXPECT_EQ(limiter.wait("victim", 1152.0), 0U);
}

TEST(RateLimiterTest, BucketsRefillEvenlyAndForgettingRefills) {
    RateLimiter limiter(2, 10);
    EXPECT_EQ(limiter.acquire("k", 0.0), 0U);
    EXPECT_EQ(limiter.acquire("k", 0.0), 0U);
    EXPECT_EQ(limiter.acquire("k", 0.0), 5U);
    EXPECT_EQ(limiter.acquire("k", 4.0), 1U);
    EXPECT_EQ(limiter.acquire("k", 5.0), 0U);
    limiter.forget("k");
    EXPECT_EQ(limiter.size(), 0U);
    EXPECT_EQ(limiter.wait("k", 5.0), 0U);
    RateLimiter off(0, 60);
    off.spend("k", 0.0);
    EXPECT_EQ(off.acquire("k", 0.0), 0U);
    EXPECT_EQ(off.size(), 0U);
}

TEST(ClientNetworkTest, IPv6CountsBySlash64AndMappedIPv4AsIPv4) {
    EXPECT_EQ(clientNetwork("2001:db8:1:2:aaaa::1"), clientNetwork("2001:db8:1:2:bbbb:cc::9"));
    EXPECT_EQ(clientNetwork("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_NE(clientNetwork("2001:db8:1:2::1"), clientNetwork("2001:db8:1:3::1"));
    EXPECT_EQ(clientNetwork("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(clientNetwork("192.0.2.7"), "192.0.2.7");
    EXPECT_NE(clientNetwork("192.0.2.7"), clientNetwork("192.0.2.8"));
}

TEST(ClientNetworkTest, OnlyATrustedProxyNamesTheClientAndOnlyByWhatItAppended) {
    const std::vector<std::string> proxies{"10.0.0.1", "10.0.0.2"};
    EXPECT_EQ(clientAddress("192.0.2.7", "198.51.100.1", proxies), "192.0.2.7");
    EXPECT_EQ(clientAddress("10.0.0.1", "198.51.100.1", proxies), "198.51.100.1");
    EXPECT_EQ(clientAddress("10.0.0.1", "6.6.6.6, 198.51.100.1 ,10.0.0.2", proxies),
              "198.51.100.1");
    EXPECT_EQ(clientAddress("10.0.0.1", "", proxies), "10.0.0.1");
    EXPECT_EQ(clientAddress("10.0.0.1", " , 10.0.0.2", proxies), "10.0.0.1");
    EXPECT_EQ(clientAddress("10.0.0.1", "198.51.100.1, " + std::string(5000, 'x'), proxies),
              "10.0.0.1");
}

}  // namespace
}  // namespace brimo::server::testing
