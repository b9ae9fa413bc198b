#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

struct pa_mainloop;
struct pa_mainloop_api;
struct pollfd;

namespace brimo::hal::pulse {

// A plain libpulse main loop on a thread of its own. Only that thread touches the loop and
// what runs on it, so there is no loop lock for it to wait on: other threads leave requests
// as bits, without a lock, and wake the loop; the thread takes them between its passes.
class SessionLoop {
  public:
    SessionLoop();
    ~SessionLoop();  // joins the thread
    SessionLoop(const SessionLoop&) = delete;
    SessionLoop& operator=(const SessionLoop&) = delete;
    SessionLoop(SessionLoop&&) = delete;
    SessionLoop& operator=(SessionLoop&&) = delete;

    // Runs `body` on the loop's thread; once.
    void start(std::function<void()> body);
    // Returns when the body has returned. Not on the loop's thread.
    void join();

    [[nodiscard]] pa_mainloop_api* api() const;

    // Any thread, lock-free: adds `bits` to the requests the thread takes next, and wakes it.
    void request(unsigned bits);

    // The loop's thread only.
    // One pass: waits for an event or a request and dispatches what is due. False once the
    // loop failed.
    bool iterate();
    // Passes until `done` holds or the timeout passes; answers done().
    bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // The requests made since the last call.
    unsigned takeRequests();

  private:
    // The loop's poll: it does not block while a request waits. A request made after this
    // looked finds the loop's wake-up pipe written after the pass emptied it, so the poll
    // returns at once.
    static int poll(pollfd* descriptors, unsigned long count, int timeoutMs, void* self);

    pa_mainloop* loop_;
    std::atomic<unsigned> requests_{0};
    std::thread thread_;
};

}  // namespace brimo::hal::pulse
