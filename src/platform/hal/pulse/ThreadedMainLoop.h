#pragma once

#include <chrono>
#include <functional>

struct pa_threaded_mainloop;
struct pa_mainloop_api;

namespace brimo::hal::pulse {

// A libpulse threaded main loop: one thread on which every callback of the connections and
// streams made on it runs, with the loop's lock held. The control connection's: a real-time
// thread must not share a lock with others, so device I/O runs on SessionLoop instead.
class ThreadedMainLoop {
  public:
    ThreadedMainLoop();
    ~ThreadedMainLoop();  // stops the thread
    ThreadedMainLoop(const ThreadedMainLoop&) = delete;
    ThreadedMainLoop& operator=(const ThreadedMainLoop&) = delete;
    ThreadedMainLoop(ThreadedMainLoop&&) = delete;
    ThreadedMainLoop& operator=(ThreadedMainLoop&&) = delete;

    bool start();
    // Joins the thread; must be called without the lock and not from the loop's thread.
    void stop();

    [[nodiscard]] pa_mainloop_api* api() const;
    [[nodiscard]] bool isLoopThread() const;
    void lock();
    void unlock();
    // Wakes a waitUntil; callbacks call it after changing what a waiter looks at.
    void signal();
    // With the lock held: waits until `done` holds or the timeout passes; returns `done()`.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  private:
    pa_threaded_mainloop* loop_;
    bool running_ = false;
};

class MainLoopLock {
  public:
    explicit MainLoopLock(ThreadedMainLoop& loop) : loop_(loop) { loop_.lock(); }
    ~MainLoopLock() { loop_.unlock(); }
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;
    MainLoopLock(MainLoopLock&&) = delete;
    MainLoopLock& operator=(MainLoopLock&&) = delete;

  private:
    ThreadedMainLoop& loop_;
};

}  // namespace brimo::hal::pulse
