#include "platform/dispatch/SerialQueue.h"

#include <pthread.h>

#include <future>
#include <utility>

namespace brimo::dispatch {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    // Thread names are limited to 15 characters; the end of a reverse-DNS label says the most.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    thread_ = std::thread([state = state_, name = std::move(name)] { loop(state, name); });
    threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(Task task) {
    // Once the task is queued it may run and release the queue's owner before this call
    // returns; the shared state stays valid for the notification.
    const std::shared_ptr<State> state = state_;
    {
        const std::lock_guard lock(state->mutex);
        state->tasks.push_back(std::move(task));
    }
    state->wake.notify_one();
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    async([&task, &done] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

void SerialQueue::loop(const std::shared_ptr<State>& state, const std::string& name) {
    pthread_setname_np(pthread_self(), name.c_str());
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&state] { return state->stopping || !state->tasks.empty(); });
        if (state->tasks.empty()) {
            return;
        }
        Task task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what the task captured goes now, on this thread, not under the lock
        lock.lock();
    }
}

}  // namespace brimo::dispatch
