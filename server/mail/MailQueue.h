#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "mail/MailSender.h"

namespace brimo::server {

// Sends mail on a thread of its own, so that a request that mails answers as fast as one that
// does not, and a slow mail server never holds a request. A failed delivery is retried twice
// and then reported through `onFailure` (with the sender's text, never the message).
class MailQueue {
  public:
    MailQueue(std::unique_ptr<MailSender> sender,
              std::function<void(const std::string&)> onFailure);
    ~MailQueue();  // sends what is queued, then stops
    MailQueue(const MailQueue&) = delete;
    MailQueue& operator=(const MailQueue&) = delete;

    // False when the queue is full (a flood is dropped rather than grown without bound).
    bool enqueue(Mail mail);
    [[nodiscard]] std::string description() const { return sender_->description(); }

  private:
    void run();

    std::unique_ptr<MailSender> sender_;
    std::function<void(const std::string&)> onFailure_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Mail> pending_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace brimo::server
