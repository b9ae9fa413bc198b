#include "platform/hal/pulse/SessionLoop.h"

#include <poll.h>
#include <pthread.h>
#include <pulse/mainloop.h>

#include <stdexcept>
#include <utility>

#include "platform/hal/pulse/LoopTimer.h"

namespace brimo::hal::pulse {

namespace {

void deadlinePassed(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                    const struct timeval* /*time*/, void* userdata) {
    *static_cast<bool*>(userdata) = true;
}

}  // namespace

SessionLoop::SessionLoop() : loop_(pa_mainloop_new()) {
    if (loop_ == nullptr) {
        throw std::runtime_error("pa_mainloop_new failed");
    }
    pa_mainloop_set_poll_func(loop_, &SessionLoop::poll, this);
}

SessionLoop::~SessionLoop() {
    join();
    pa_mainloop_free(loop_);
}

void SessionLoop::start(std::function<void()> body) {
    thread_ = std::thread([task = std::move(body)] {
        // Named apart from the control connection's "threaded-ml", for whoever measures them.
        pthread_setname_np(pthread_self(), "pulse-io");
        task();
    });
}

void SessionLoop::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

pa_mainloop_api* SessionLoop::api() const {
    return pa_mainloop_get_api(loop_);
}

void SessionLoop::request(unsigned bits) {
    requests_.fetch_or(bits, std::memory_order_acq_rel);
    pa_mainloop_wakeup(loop_);
}

unsigned SessionLoop::takeRequests() {
    return requests_.exchange(0, std::memory_order_acq_rel);
}

bool SessionLoop::iterate() {
    return pa_mainloop_iterate(loop_, 1, nullptr) >= 0;
}

bool SessionLoop::iterateUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
    if (done()) {
        return true;
    }
    bool passed = false;
    pa_time_event* deadline = startTimer(api(), timeout, deadlinePassed, &passed);
    while (!done() && !passed && iterate()) {
    }
    api()->time_free(deadline);
    return done();
}

int SessionLoop::poll(pollfd* descriptors, unsigned long count, int timeoutMs, void* self) {
    if (static_cast<SessionLoop*>(self)->requests_.load(std::memory_order_acquire) != 0) {
        timeoutMs = 0;
    }
    return ::poll(descriptors, static_cast<nfds_t>(count), timeoutMs);
}

}  // namespace brimo::hal::pulse
