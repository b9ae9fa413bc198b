// Attempts are limited per address and per client; the limits refill with time.
#include <gtest/gtest.h>

#include "accounts/RateLimiter.h"
#include "support/BackendTest.h"

namespace brimo::server::testing {
namespace {

using nlohmann::json;

TEST(RateLimitTest, AnAddressIsLimitedWhateverTheClientAndOtherAddressesAreNot) {
    ServiceTweaks tweaks;
    tweaks.rateLimits = RateLimits{0, 60, 3, 900};
    TestService service("sqlite", tweaks);
    service.registerAccount("target@example.com", "the real one");
    const json guess = {{"email", "TARGET@example.com"}, {"password", "a guess"}};
    for (int i = 0; i < 2; ++i) {  // registration took the first attempt
        EXPECT_EQ(service.post("/api/auth/login", guess)->status, 400);
    }
    auto limited = service.post("/api/auth/login", guess);
    ASSERT_EQ(limited->status, 429);
    EXPECT_EQ(bodyOf(limited)["error"],
              "Too many attempts. Please wait a few minutes and try again.");
    EXPECT_EQ(limited->get_header_value("Retry-After"), "300");
    // The right password is limited too: the bucket counts attempts, not failures.
    EXPECT_EQ(service
                  .post("/api/auth/login",
                        {{"email", "target@example.com"}, {"password", "the real one"}})
                  ->status,
              429);
    EXPECT_EQ(service.post("/api/auth/forgot-password", {{"email", "target@example.com"}})->status,
              429);
    // Another address from the same client goes on.
    service.registerAccount("other@example.com", "other password");
    EXPECT_TRUE(service.login("other@example.com", "other password"));

    service.advanceClock(300);  // one attempt refilled
    EXPECT_TRUE(service.login("target@example.com", "the real one"));
    EXPECT_EQ(service.post("/api/auth/login", guess)->status, 429);
}

TEST(RateLimitTest, AClientIsLimitedAcrossAddresses) {
    ServiceTweaks tweaks;
    tweaks.rateLimits = RateLimits{5, 60, 0, 900};
    TestService service("sqlite", tweaks);
    for (int i = 0; i < 5; ++i) {
        auto res = service.post("/api/auth/check-email",
                                {{"email", "probe" + std::to_string(i) + "@example.com"}});
        EXPECT_EQ(res->status, 200);
    }
    auto limited = service.post("/api/auth/check-email", {{"email", "probe9@example.com"}});
    ASSERT_EQ(limited->status, 429);
    EXPECT_EQ(limited->get_header_value("Retry-After"), "12");
    // Reading one's own session or the version is not an attempt.
    EXPECT_EQ(service.get("/api/app/version")->status, 200);
    service.advanceClock(60);
    EXPECT_EQ(service.post("/api/auth/check-email", {{"email", "probe9@example.com"}})->status,
              200);
}

TEST(RateLimiterTest, ForgetsRefilledBucketsWhenItsTableIsFull) {
    RateLimiter limiter(2, 10, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(limiter.acquire("key" + std::to_string(i), 0.0), 0U);
    }
    EXPECT_EQ(limiter.acquire("key0", 0.0), 0U);
    EXPECT_GT(limiter.acquire("key0", 0.0), 0U);
    // After the window every bucket is full again; a new key makes room by dropping them,
    // and a dropped key starts with a full bucket, as it would have had anyway.
    EXPECT_EQ(limiter.acquire("new", 100.0), 0U);
    EXPECT_EQ(limiter.acquire("key0", 100.0), 0U);
    EXPECT_EQ(limiter.acquire("key0", 100.0), 0U);
    EXPECT_GT(limiter.acquire("key0", 100.0), 0U);
}

}  // namespace
}  // namespace brimo::server::testing
