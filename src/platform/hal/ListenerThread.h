#pragma once

#include <condition_variable>
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
class ListenerThread {
  public:
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
    bool isRegistered(const Registration& registration);
    std::vector<Registration>::iterator find(const Registration& registration);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable delivered_;
    std::vector<Registration> registrations_;
    std::deque<QueuedChange> queue_;
    unsigned long long postedCount_ = 0;
    unsigned long long deliveredCount_ = 0;
    bool stopping_ = false;
    // Held while one listener runs, so a removal can wait for that call to end.
    std::mutex callMutex_;
    std::thread thread_;
};

}  // namespace brimo::hal
