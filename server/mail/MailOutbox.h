#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/ServerConfig.h"
#include "mail/MailSender.h"
#include "store/AccountStore.h"

namespace brimo::server {

// Sends the mails of the store's outbox on a thread of its own, so that a request that mails
// answers as fast as one that does not, a slow mail server never holds a request, and a mail
// outlives the process that queued it. Any number of instances may send from one store: each
// mail is claimed by one of them. A failed delivery is tried again with a doubling pause;
// failures are reported through `log` with the sender's text, never the message.
class MailOutbox {
  public:
    using Log = std::function<void(const std::string&)>;

    MailOutbox(AccountStore& store, std::unique_ptr<MailSender> sender, Log log,
               MailDelivery delivery = {});
    ~MailOutbox();  // stop()
    MailOutbox(const MailOutbox&) = delete;
    MailOutbox& operator=(const MailOutbox&) = delete;

    // A mail was queued: look now rather than at the next round.
    void wake();
    // Sends what is due for at most shutdownSeconds, then ends; a delivery still running then
    // is cut off and its mail stays queued for the next start. Idempotent.
    void stop();

    [[nodiscard]] std::string description() const { return sender_->description(); }

    // The longest a sender may hold a claim: a mail claimed by a sender that died is taken up
    // again after this.
    static constexpr std::int64_t kClaimSeconds = 120;

  private:
    void run();
    // Claims and sends one due mail; false when none was due.
    bool sendOne();
    [[nodiscard]] std::int64_t retryPause(int attempts) const;

    AccountStore& store_;
    std::unique_ptr<MailSender> sender_;
    Log log_;
    MailDelivery delivery_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::thread worker_;
};

}  // namespace brimo::server
