#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/MainQueue.h"

namespace brimo::dispatch {

// A queue with a thread of its own that runs tasks one at a time, in call order. Long or
// sleeping work goes here so that it never blocks the main thread or the audio threads.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    // Runs the tasks already queued, then ends the thread. Destroyed from one of its own tasks
    // (the task held the last reference to the queue's owner), the queue lets its thread finish
    // on its own instead of waiting for itself.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task);

    // Runs the task on the queue and returns when it has run. Called from the queue's own
    // thread it runs the task at once rather than waiting on itself forever.
    void sync(const Task& task);

    [[nodiscard]] bool isCurrent() const { return std::this_thread::get_id() == threadId_; }
    [[nodiscard]] const std::string& label() const { return label_; }

  private:
    // Shared with the thread, so that it outlives the queue object when the thread must
    // finish after it.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Task> tasks;
        bool stopping = false;
    };
    static void loop(const std::shared_ptr<State>& state, const std::string& name);

    const std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace brimo::dispatch
