#include "mail/MailOutbox.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace brimo::server {
namespace {

// Other instances' mails, and this one's retries, are looked for at least this often.
constexpr auto kLongestIdle = std::chrono::seconds(5);

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

MailOutbox::MailOutbox(AccountStore& store, std::unique_ptr<MailSender> sender, Log log,
                       MailDelivery delivery)
    : store_(store),
      sender_(std::move(sender)),
      log_(std::move(log)),
      delivery_(delivery),
      worker_([this] { run(); }) {}

MailOutbox::~MailOutbox() {
    stop();
}

void MailOutbox::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

void MailOutbox::stop() {
    std::unique_lock lock(mutex_);
    if (!worker_.joinable()) {
        return;
    }
    if (!stopping_) {
        stopping_ = true;
        deadline_ =
            std::chrono::steady_clock::now() + std::chrono::seconds(delivery_.shutdownSeconds);
    }
    changed_.notify_all();
    if (!changed_.wait_until(lock, deadline_, [&] { return finished_; })) {
        sender_->abort();  // the delivery under way fails and its mail stays queued
    }
    lock.unlock();
    worker_.join();
}

std::int64_t MailOutbox::retryPause(int attempts) const {
    std::int64_t pause = delivery_.firstRetrySeconds;
    for (int i = 1; i < attempts && pause < delivery_.longestRetrySeconds; ++i) {
        pause *= 2;
    }
    return std::min<std::int64_t>(pause, std::max(delivery_.longestRetrySeconds, 1U));
}

bool MailOutbox::sendOne() {
    const std::int64_t now = unixNow();
    const auto mail = store_.claimMail(now, now + kClaimSeconds);
    if (!mail) {
        return false;
    }
    try {
        sender_->send(Mail{mail->recipient, mail->message});
        store_.markMailSent(mail->id);
        return true;
    } catch (const StoreUnavailable&) {
        throw;
    } catch (const std::exception& e) {
        const bool last = mail->attempts >= static_cast<int>(delivery_.attempts);
        const std::string attempt = "attempt " + std::to_string(mail->attempts) + " of " +
                                    std::to_string(delivery_.attempts);
        if (last) {
            store_.giveUpMail(mail->id);
            log_("a reset mail was not sent (" + attempt + ", given up): " + e.what());
        } else {
            const std::int64_t pause = retryPause(mail->attempts);
            store_.retryMail(mail->id, unixNow() + pause);
            log_("a reset mail was not sent (" + attempt + ", next in " + std::to_string(pause) +
                 " s): " + e.what());
        }
    }
    return true;
}

void MailOutbox::run() {
    const auto idle = std::min<std::chrono::seconds>(
        kLongestIdle, std::chrono::seconds(std::max(1U, delivery_.firstRetrySeconds)));
    for (;;) {
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            woken_ = false;
            stopping = stopping_;
            if (stopping && std::chrono::steady_clock::now() >= deadline_) {
                break;
            }
        }
        bool sentAny = false;
        try {
            // Everything due now, also while stopping (until the deadline ends the loop).
            while (sendOne()) {
                sentAny = true;
                std::lock_guard lock(mutex_);
                if (stopping_ && std::chrono::steady_clock::now() >= deadline_) {
                    break;
                }
            }
        } catch (const std::exception& e) {
            log_(std::string("the mail outbox cannot reach the database: ") + e.what());
        }
        std::unique_lock lock(mutex_);
        if (stopping_ && (!sentAny || std::chrono::steady_clock::now() >= deadline_)) {
            break;
        }
        if (!stopping_) {
            changed_.wait_for(lock, idle, [&] { return woken_ || stopping_; });
        }
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

}  // namespace brimo::server
