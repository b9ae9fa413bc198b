#pragma once

#include <condition_variable>
#include <deque>
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
    // Runs the tasks already queued, then ends the thread.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task);

    // Runs the task on the queue and returns when it has run. Called from the queue's own
    // thread it runs the task at once rather than waiting on itself forever.
    void sync(const Task& task);

    [[nodiscard]] bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    [[nodiscard]] const std::string& label() const { return label_; }

  private:
    void loop();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace brimo::dispatch
