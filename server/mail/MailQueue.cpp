#include "mail/MailQueue.h"

#include <chrono>
#include <stdexcept>

namespace brimo::server {

namespace {
constexpr std::size_t kMaximumQueued = 1000;
constexpr int kAttempts = 3;
}  // namespace

MailQueue::MailQueue(std::unique_ptr<MailSender> sender,
                     std::function<void(const std::string&)> onFailure)
    : sender_(std::move(sender)), onFailure_(std::move(onFailure)), worker_([this] { run(); }) {}

MailQueue::~MailQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

bool MailQueue::enqueue(Mail mail) {
    {
        std::lock_guard lock(mutex_);
        if (pending_.size() >= kMaximumQueued) {
            return false;
        }
        pending_.push_back(std::move(mail));
    }
    changed_.notify_all();
    return true;
}

void MailQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;  // stopping, and everything was sent
        }
        Mail mail = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        std::string lastError;
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            try {
                sender_->send(mail);
                lastError.clear();
                break;
            } catch (const std::exception& e) {
                lastError = e.what();
            }
            std::unique_lock pause(mutex_);
            if (stopping_ || attempt == kAttempts) {
                break;
            }
            // Waits between attempts, cut short by a stop.
            changed_.wait_for(pause, std::chrono::seconds(2 * attempt), [&] { return stopping_; });
        }
        if (!lastError.empty() && onFailure_) {
            onFailure_(lastError);
        }
        lock.lock();
    }
}

}  // namespace brimo::server
