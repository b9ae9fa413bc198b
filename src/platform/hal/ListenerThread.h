#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/PropertyChange.h"

namespace brimo::hal {

// A backend's property listeners and the one thread they are called on. Changes are posted by
// whoever notices them and delivered in order, one call per change and matching registration,
// so a listener may read properties or register others without blocking the backend.
//
// A registration hears a change of its object when the selectors match and:
// - scopes: equal, either one the wildcard, or either one global. A property without a
//   direction (a name, a rate, a default device) changes in the global scope and reads the same
//   in every scope, and a per-direction property read in the global scope spans both sides;
// - elements: equal or the registration's is the wildcard. Every property lives in the main
//   element.
// A registration hears only the changes posted after it was made.
//
// A thread that may not wait (a device's real-time I/O thread) hands its news over as a
// `Notice` instead: posting one takes no lock and allocates nothing, and the listener thread
// makes the notice's call.
class ListenerThread {
  public:
    // A call the listener thread makes for its poster. The owner keeps it alive until
    // `withdraw` returns, and posts it at most once until it has been delivered or withdrawn.
    struct Notice {
        void (*deliver)(void* context) = nullptr;
        void* context = nullptr;
        Notice* next = nullptr;  // while posted: the one posted before it
    };

    ListenerThread();
    ~ListenerThread();
    ListenerThread(const ListenerThread&) = delete;
    ListenerThread& operator=(const ListenerThread&) = delete;
    ListenerThread(ListenerThread&&) = delete;
    ListenerThread& operator=(ListenerThread&&) = delete;

    // Registering the same arguments twice keeps one registration.
    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc listener, void* clientData);
    // When this returns on any other thread than the listener thread, the listener is not
    // running and will not be called again. Unknown: kAudioHardwareIllegalOperationError.
    OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    AudioObjectPropertyListenerProc listener, void* clientData);

    void post(const std::vector<PropertyChange>& changes);
    // Lock-free, from any thread: the notice's call is made on the listener thread, after the
    // notices posted before it.
    void postNotice(Notice& notice);
    // When this returns the notice is neither queued nor being delivered, so its owner may let
    // it go; on the listener thread itself (inside that very delivery) it only leaves the queue.
    // The owner posts it no more by then.
    void withdraw(Notice& notice);
    // Returns when every change posted so far has been delivered, also those that listeners
    // post meanwhile (at once on the listener thread, which would otherwise wait for itself).
    void flush();

    // Ends the thread when the call under way returns; changes still queued are dropped, and
    // no listener is called again. Not on the listener thread.
    void stop();

    // The matching rule above: whether a registration at `wanted` hears a change at `changed`.
    static bool hears(const AudioObjectPropertyAddress& wanted,
                      const AudioObjectPropertyAddress& changed);

  private:
    struct Registration {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc listener = nullptr;
        void* clientData = nullptr;
        // Changes posted up to this count happened before the registration: not for it.
        unsigned long long postedBefore = 0;

        [[nodiscard]] bool sameAs(const Registration& other) const {
            return object == other.object && address == other.address &&
                   listener == other.listener && clientData == other.clientData;
        }
    };
    struct QueuedChange {
        PropertyChange change;
        unsigned long long sequence = 0;  // 1 for the first change ever posted
    };

    void run();
    void deliverChange(std::unique_lock<std::mutex>& lock);
    void deliverNotice(std::unique_lock<std::mutex>& lock);
    // With mutex_ held: moves what was posted lock-free into `notices_`, in posting order.
    void takePostedNotices();
    // Wakes the thread; lock-free. Its count tells a waiter whether anything came meanwhile.
    void ring();
    bool isRegistered(const Registration& registration);
    std::vector<Registration>::iterator find(const Registration& registration);

    std::mutex mutex_;
    std::condition_variable delivered_;
    std::vector<Registration> registrations_;
    std::deque<QueuedChange> queue_;
    // Notices posted lock-free, newest first, until the thread takes them into `notices_`.
    std::atomic<Notice*> posted_{nullptr};
    std::deque<Notice*> notices_;
    Notice* delivering_ = nullptr;  // the notice whose call is under way
    std::condition_variable noticeDelivered_;
    std::atomic<std::uint32_t> bell_{0};
    unsigned long long postedCount_ = 0;
    unsigned long long deliveredCount_ = 0;
    bool stopping_ = false;
    // Held while one listener runs, so a removal can wait for that call to end.
    std::mutex callMutex_;
    std::thread thread_;
};

}  // namespace brimo::hal
