#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/pulse/DeviceMirror.h"

namespace brimo::hal::pulse {

// Property listeners and the one thread they are called on. Changes are queued by whoever
// notices them and delivered in order, one call per change and matching registration, so a
// listener may read properties or register others without ever blocking the server's thread.
class ListenerDispatcher {
  public:
    ListenerDispatcher();
    ~ListenerDispatcher();
    ListenerDispatcher(const ListenerDispatcher&) = delete;
    ListenerDispatcher& operator=(const ListenerDispatcher&) = delete;
    ListenerDispatcher(ListenerDispatcher&&) = delete;
    ListenerDispatcher& operator=(ListenerDispatcher&&) = delete;

    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc listener, void* clientData);
    // When this returns on any other thread than the listener thread, the listener is not
    // running and will not be called again.
    OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    AudioObjectPropertyListenerProc listener, void* clientData);

    void post(const std::vector<PropertyChange>& changes);
    // Returns when every change posted before the call has been delivered.
    void flush();

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

    static bool matches(const Registration& registration, const PropertyChange& change);
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

}  // namespace brimo::hal::pulse
