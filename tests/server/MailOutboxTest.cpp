// Reset mails wait in the store until sent: retried with a pause, given up after the last
// attempt, cut off at shutdown without being lost, and sent after a crash by the next start.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <regex>

#include "mail/MailOutbox.h"
#include "support/BackendTest.h"
#include "support/ChildProcess.h"
#include "support/LoopbackSocket.h"
#include "support/SmtpSink.h"

namespace brimo::server::testing {
namespace {

// Fails the first `failures` deliveries, then records; or, when `hold` is set, waits in
// every delivery until aborted.
class ScriptedSender : public MailSender {
  public:
    explicit ScriptedSender(int failures, bool hold = false) : failures_(failures), hold_(hold) {}
    void send(const Mail& mail) override {
        std::unique_lock lock(mutex_);
        ++attempts_;
        if (hold_) {
            changed_.wait(lock, [&] { return aborted_; });
        }
        if (aborted_) {
            throw std::runtime_error("cut off");
        }
        if (failures_ > 0) {
            --failures_;
            throw std::runtime_error("mail server said no");
        }
        sent_.push_back(mail.message);
        changed_.notify_all();
    }
    [[nodiscard]] std::string description() const override { return "scripted"; }
    void abort() override {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> waitForSent(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return sent_.size() >= count; });
        return sent_;
    }
    int attempts() {
        std::lock_guard lock(mutex_);
        return attempts_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int failures_;
    bool hold_;
    bool aborted_ = false;
    int attempts_ = 0;
    std::vector<std::string> sent_;
};

struct Outbox {
    brimo::testing::TemporaryDirectory dir;
    std::unique_ptr<AccountStore> store = openAccountStore((dir.path() / "a.sqlite").string(), 1);
    std::mutex logMutex;
    std::vector<std::string> log;

    MailOutbox::Log logger() {
        return [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        };
    }
    void queue(const std::string& message) const {
        static int n = 0;
        UserRecord user{
            "u" + std::to_string(++n), std::to_string(n) + "@example.com", "h", false, "email", 0};
        ASSERT_TRUE(store->createUser(user));
        store->createResetLink("link" + std::to_string(n), user.id, 1, 4000000000, user.email,
                               message);
    }
};

TEST(MailOutboxTest, AFailedMailIsTriedAgainAfterAPauseAndGivenUpAfterTheLastAttempt) {
    Outbox box;
    box.queue("first mail with https://x/reset-password?token=SECRET1");
    box.queue("second mail with https://x/reset-password?token=SECRET2");
    auto sender = std::make_unique<ScriptedSender>(3);
    auto* scripted = sender.get();
    MailDelivery delivery;
    delivery.firstRetrySeconds = 1;
    delivery.attempts = 2;
    MailOutbox outbox(*box.store, std::move(sender), box.logger(), delivery);
    outbox.wake();
    // The first fails twice and is given up; the second fails once and goes one second later.
    const auto sent = scripted->waitForSent(1);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_NE(sent[0].find("SECRET2"), std::string::npos);
    outbox.stop();  // after it has marked what it sent
    EXPECT_EQ(box.store->queuedMailCount(), 0);
    EXPECT_EQ(scripted->attempts(), 4);
    std::lock_guard lock(box.logMutex);
    std::string all;
    for (const auto& line : box.log) {
        all += line + "\n";
    }
    EXPECT_NE(
        all.find("a reset mail was not sent (attempt 1 of 2, next in 1 s): mail server said no"),
        std::string::npos)
        << all;
    EXPECT_NE(all.find("(attempt 2 of 2, given up)"), std::string::npos) << all;
    EXPECT_EQ(all.find("SECRET"), std::string::npos) << all;
}

TEST(MailOutboxTest, StoppingCutsOffADeliveryThatHangsAndKeepsItsMailQueued) {
    Outbox box;
    box.queue("a mail");
    auto sender = std::make_unique<ScriptedSender>(0, true);
    auto* scripted = sender.get();
    MailDelivery delivery;
    delivery.shutdownSeconds = 1;
    MailOutbox outbox(*box.store, std::move(sender), box.logger(), delivery);
    outbox.wake();
    while (scripted->attempts() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    outbox.stop();  // returns: the hanging delivery was cut off
    EXPECT_EQ(box.store->queuedMailCount(), 1);
    // The mail is due again at once for whoever starts next.
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    EXPECT_TRUE(box.store->claimMail(now + 10, now + 20).has_value());
}

TEST(MailOutboxTest, AMailQueuedBeforeAKillIsSentAfterTheRestart) {
    brimo::testing::TemporaryDirectory dir;
    const auto closed = brimo::testing::LoopbackSocket::bound();  // refuses connections
    auto configure = [&](int smtpPort) {
        brimo::testing::writeFileText(
            dir.path() / "server.json",
            R"({"listen": "127.0.0.1:0", "database": "a.sqlite", "maildir": "mail",
                "passwordHashing": {"opsLimit": 1, "memLimitKiB": 8},
                "smtp": {"url": "smtp://127.0.0.1:)" +
                std::to_string(smtpPort) + R"(", "requireTls": false,
                         "from": "Brimolavetrix <accounts@brimolavetrix.test>"},
                "mailDelivery": {"firstRetrySeconds": 1}})");
    };
    auto start = [&](const std::string& name) {
        return std::make_unique<brimo::testing::ChildProcess>(brimo::testing::ChildProcess::Options{
            {BRIMO_SERVER_EXECUTABLE, "--config", "server.json"},
            dir.path() / (name + ".out"),
            dir.path() / (name + ".err"),
            dir.path(),
            std::nullopt});
    };
    configure(closed.port());
    auto first = start("first");
    const std::string origin =
        first->waitForOutput(std::regex("listening on (http://[^ \n]+)/api"));
    ASSERT_FALSE(origin.empty()) << first->errors();
    httplib::Client client(origin);
    ASSERT_EQ(client
                  .Post("/api/auth/register",
                        R"({"email":"ada@example.com","password":"p4ssword"})", "application/json")
                  ->status,
              200);
    ASSERT_EQ(
        client
            .Post("/api/auth/forgot-password", R"({"email":"ada@example.com"})", "application/json")
            ->status,
        200);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (first->errors().find("attempt 1 of 8") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(first->errors().find("a reset mail was not sent (attempt 1 of 8"), std::string::npos)
        << first->errors();
    first->signal(SIGKILL);
    EXPECT_EQ(first->waitForExit(), 128 + SIGKILL);

    SmtpSink sink;
    ASSERT_FALSE(sink.port().empty()) << sink.errors();
    configure(std::stoi(sink.port()));
    auto second = start("second");
    ASSERT_FALSE(second->waitForOutput(std::regex("listening on (http)")).empty())
        << second->errors();
    const auto mails = sink.waitForMails(1);
    ASSERT_EQ(mails.size(), 1U) << second->errors();
    EXPECT_NE(mails[0].find("X-Envelope-To: ada@example.com"), std::string::npos);
    const std::string token = resetTokenInMail(mails[0]);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(second->terminate(), 0);
    const std::string logs =
        first->output() + first->errors() + second->output() + second->errors();
    EXPECT_EQ(logs.find(token), std::string::npos);
    EXPECT_EQ(logs.find("p4ssword"), std::string::npos);
}

}  // namespace
}  // namespace brimo::server::testing
