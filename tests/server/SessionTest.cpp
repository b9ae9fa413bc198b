// Sessions end when their owner signs out, a login racing a reset gets no session, and logins
// beyond what the hashers can work off are turned away at once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "accounts/SecureToken.h"
#include "support/BackendTest.h"

namespace brimo::server::testing {
namespace {

using nlohmann::json;

class SessionTest : public BackendTest {};

httplib::Result logout(const TestService& service, const std::string& token) {
    auto c = service.client();
    httplib::Headers headers;
    if (!token.empty()) {
        headers.emplace("Authorization", "Bearer " + token);
    }
    return c.Post("/api/auth/logout", headers, "", "application/json");
}

TEST_P(SessionTest, SigningOutEndsThatSessionOnly) {
    TestService service(GetParam());
    const std::string first = service.registerAccount("ada@example.com", "old password");
    const std::string second = *service.login("ada@example.com", "old password");

    auto out = logout(service, first);
    ASSERT_EQ(out->status, 200);
    EXPECT_EQ(bodyOf(out)["message"], "You are signed out.");
    auto me = service.get("/api/user/me", first);
    EXPECT_EQ(me->status, 401);
    EXPECT_EQ(bodyOf(me)["error"], "Your session has ended. Please sign in again.");
    EXPECT_EQ(service.get("/api/user/me", second)->status, 200);

    // Once only; no token, or a made-up one, ends nothing.
    EXPECT_EQ(logout(service, first)->status, 401);
    EXPECT_EQ(logout(service, "")->status, 401);
    EXPECT_EQ(logout(service, newSecureToken())->status, 401);
    EXPECT_EQ(service.get("/api/user/me", second)->status, 200);
}

// Runs `during` inside the first verification it is armed for, as a reset committing while a
// login checks the old password would.
class RacingHasher : public PasswordHasher {
  public:
    using PasswordHasher::PasswordHasher;
    std::function<void()> during;
    bool verify(std::string_view encoded, std::string_view password) override {
        const bool match = PasswordHasher::verify(encoded, password);
        if (auto run = std::exchange(during, {})) {
            run();
        }
        return match;
    }
};

TEST_P(SessionTest, ALoginThatVerifiedAPasswordResetMeanwhileGetsNoSessionAndWritesNothing) {
    RacingHasher* hasher = nullptr;
    ServiceTweaks tweaks;
    tweaks.hasher = [&](const PasswordHashing& settings) {
        auto made = std::make_unique<RacingHasher>(settings);
        hasher = made.get();
        return made;
    };
    TestService service(GetParam(), tweaks);
    // Stored with another cost than the service's, so the login also wants to rehash it.
    PasswordHasher older(PasswordHashing{2, 16, 1});
    UserRecord user{newUuid(), "ada@example.com", older.hash("old password"), false, "email", 0};
    ASSERT_TRUE(service.store().createUser(user));
    ASSERT_TRUE(hasher->needsRehash(user.passwordHash));

    const std::string resetHash = hasher->hash("new password");
    hasher->during = [&] {
        const std::string link = sha256Hex(newSecureToken());
        service.store().createResetLink(link, user.id, 1, 1900000000, user.email, "reset mail");
        ASSERT_TRUE(service.store().resetPassword(link, resetHash, 2));
    };
    auto raced = service.post("/api/auth/login",
                              {{"email", "ada@example.com"}, {"password", "old password"}});
    ASSERT_EQ(raced->status, 400);
    EXPECT_EQ(bodyOf(raced)["error"], "Incorrect email or password.");
    EXPECT_FALSE(bodyOf(raced).contains("token"));
    EXPECT_EQ(service.store().findUserByEmail("ada@example.com")->passwordHash, resetHash);
    EXPECT_FALSE(service.login("ada@example.com", "old password"));
    EXPECT_TRUE(service.login("ada@example.com", "new password"));
}

// Holds every verification until released, counting those that wait.
class HeldHasher : public PasswordHasher {
  public:
    using PasswordHasher::PasswordHasher;
    bool verify(std::string_view encoded, std::string_view password) override {
        {
            std::unique_lock lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_; });
        }
        return PasswordHasher::verify(encoded, password);
    }
    void waitUntilHolding(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_ >= count; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool released_ = false;
};

TEST(OverloadTest, LoginsAndRegistrationsBeyondTheHashingQueueAre503AtOnce) {
    HeldHasher* hasher = nullptr;
    ServiceTweaks tweaks;
    tweaks.hashing.queueLimit = 2;
    tweaks.hasher = [&](const PasswordHashing& settings) {
        auto made = std::make_unique<HeldHasher>(settings);
        hasher = made.get();
        return made;
    };
    TestService service("sqlite", tweaks);
    service.registerAccount("ada@example.com", "the password");
    const json credentials = {{"email", "ada@example.com"}, {"password", "the password"}};
    std::vector<std::future<int>> waiting;
    for (int i = 0; i < 2; ++i) {
        waiting.push_back(std::async(std::launch::async, [&] {
            auto res = service.post("/api/auth/login", credentials);
            return res ? res->status : 0;
        }));
    }
    hasher->waitUntilHolding(2);

    // The queue is full: answered now, while the two above are still held.
    for (const std::string path : {"/api/auth/login", "/api/auth/register"}) {
        auto refused =
            service.post(path, {{"email", "grace@example.com"}, {"password", "another password"}});
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 503) << path;
        EXPECT_EQ(bodyOf(refused)["error"],
                  "The service is busy right now. Please try again in a few seconds.");
        ASSERT_TRUE(refused->has_header("Retry-After"));
        EXPECT_GE(std::stoi(refused->get_header_value("Retry-After")), 1);
    }
    // Requests that hash nothing are served as usual.
    EXPECT_EQ(service.get("/api/health")->status, 200);
    EXPECT_EQ(service.post("/api/auth/check-email", {{"email", "ada@example.com"}})->status, 200);

    hasher->release();
    for (auto& login : waiting) {
        EXPECT_EQ(login.get(), 200);
    }
    EXPECT_TRUE(service.login("ada@example.com", "the password"));
}

BRIMO_INSTANTIATE_BACKENDS(SessionTest);

}  // namespace
}  // namespace brimo::server::testing
