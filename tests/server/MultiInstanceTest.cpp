// Two services on one PostgreSQL database, as behind a proxy: either serves the accounts,
// sessions and reset links of the other, and each queued mail is sent once.
#include <gtest/gtest.h>

#include <set>

#include "support/BackendTest.h"

namespace brimo::server::testing {
namespace {

class MultiInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PostgresDatabase::available()) {
            GTEST_SKIP() << "no PostgreSQL cluster (BRIMO_TEST_POSTGRES_DIR) for this run";
        }
        database_ = std::make_unique<PostgresDatabase>();
        ServiceTweaks tweaks;
        tweaks.sharedDatabase = database_->url();
        one_ = std::make_unique<TestService>("postgresql", tweaks);
        two_ = std::make_unique<TestService>("postgresql", tweaks);
    }
    void TearDown() override {
        two_.reset();
        one_.reset();
    }

    // Mails in both services' maildirs, waiting for `count` in all.
    std::vector<std::string> mailsOfBoth(std::size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            auto mails = waitForMails(one_->maildir() / "new", 0);
            for (auto& m : waitForMails(two_->maildir() / "new", 0)) {
                mails.push_back(std::move(m));
            }
            if (mails.size() >= count || std::chrono::steady_clock::now() > deadline) {
                return mails;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::unique_ptr<PostgresDatabase> database_;
    std::unique_ptr<TestService> one_;
    std::unique_ptr<TestService> two_;
};

TEST_F(MultiInstanceTest, SessionsAndResetLinksOfOneWorkOnTheOther) {
    const std::string token = one_->registerAccount("ada@example.com", "old password");
    EXPECT_EQ(two_->get("/api/user/me", token)->status, 200);
    const std::string other = *two_->login("ada@example.com", "old password");
    auto c = two_->client();
    EXPECT_EQ(
        c.Post("/api/auth/logout", {{"Authorization", "Bearer " + token}}, "", "application/json")
            ->status,
        200);
    EXPECT_EQ(one_->get("/api/user/me", token)->status, 401);
    EXPECT_EQ(one_->get("/api/user/me", other)->status, 200);

    ASSERT_EQ(one_->post("/api/auth/forgot-password", {{"email", "ada@example.com"}})->status, 200);
    const auto mails = mailsOfBoth(1);
    ASSERT_EQ(mails.size(), 1U);
    const std::string link = resetTokenInMail(mails[0]);
    auto page =
        two_->client().Post("/reset-password", httplib::Params{{"token", link},
                                                               {"password", "new password"},
                                                               {"confirm", "new password"}});
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(one_->get("/api/user/me", other)->status, 401);
    EXPECT_TRUE(one_->login("ada@example.com", "new password"));
}

TEST_F(MultiInstanceTest, TwoSendersSendEachQueuedMailOnce) {
    constexpr int kMails = 24;
    for (int i = 0; i < kMails; ++i) {
        const std::string email = "user" + std::to_string(i) + "@example.com";
        TestService& service = i % 2 == 0 ? *one_ : *two_;
        service.registerAccount(email, "a password");
        ASSERT_EQ(service.post("/api/auth/forgot-password", {{"email", email}})->status, 200);
    }
    const auto mails = mailsOfBoth(kMails);
    EXPECT_EQ(mails.size(), static_cast<std::size_t>(kMails));
    std::set<std::string> tokens;
    for (const auto& m : mails) {
        tokens.insert(resetTokenInMail(m));
    }
    EXPECT_EQ(tokens.size(), static_cast<std::size_t>(kMails));
    // Marked sent just after delivery.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (one_->store().queuedMailCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(one_->store().queuedMailCount(), 0);
    // A duplicate would come within the senders' next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(mailsOfBoth(0).size(), static_cast<std::size_t>(kMails));
}

}  // namespace
}  // namespace brimo::server::testing
