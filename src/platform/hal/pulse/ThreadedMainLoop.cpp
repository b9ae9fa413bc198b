#include "platform/hal/pulse/ThreadedMainLoop.h"

#include <pulse/thread-mainloop.h>

#include <stdexcept>

#include "platform/hal/pulse/LoopTimer.h"

namespace brimo::hal::pulse {

namespace {

struct Deadline {
    pa_threaded_mainloop* loop = nullptr;
    bool passed = false;
};

void deadlinePassed(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                    const struct timeval* /*time*/, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
}

}  // namespace

ThreadedMainLoop::ThreadedMainLoop() : loop_(pa_threaded_mainloop_new()) {
    if (loop_ == nullptr) {
        throw std::runtime_error("pa_threaded_mainloop_new failed");
    }
}

ThreadedMainLoop::~ThreadedMainLoop() {
    stop();
    pa_threaded_mainloop_free(loop_);
}

bool ThreadedMainLoop::start() {
    running_ = pa_threaded_mainloop_start(loop_) == 0;
    return running_;
}

void ThreadedMainLoop::stop() {
    if (running_) {
        pa_threaded_mainloop_stop(loop_);
        running_ = false;
    }
}

pa_mainloop_api* ThreadedMainLoop::api() const {
    return pa_threaded_mainloop_get_api(loop_);
}

bool ThreadedMainLoop::isLoopThread() const {
    return pa_threaded_mainloop_in_thread(loop_) != 0;
}

void ThreadedMainLoop::lock() {
    pa_threaded_mainloop_lock(loop_);
}

void ThreadedMainLoop::unlock() {
    pa_threaded_mainloop_unlock(loop_);
}

void ThreadedMainLoop::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

bool ThreadedMainLoop::waitUntil(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
    if (done()) {
        return true;
    }
    Deadline deadline{loop_, false};
    pa_time_event* event = startTimer(api(), timeout, deadlinePassed, &deadline);
    while (!done() && !deadline.passed) {
        pa_threaded_mainloop_wait(loop_);
    }
    api()->time_free(event);
    return done();
}

}  // namespace brimo::hal::pulse
