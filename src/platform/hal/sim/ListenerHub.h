#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::sim {

// The property listeners of the simulated backend and the one thread that calls them: each
// change is queued by the code that made it and delivered in order, once to every listener
// whose address matches.
class ListenerHub {
  public:
    ListenerHub();
    ~ListenerHub();
    ListenerHub(const ListenerHub&) = delete;
    ListenerHub& operator=(const ListenerHub&) = delete;
    ListenerHub(ListenerHub&&) = delete;
    ListenerHub& operator=(ListenerHub&&) = delete;

    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc proc, void* clientData);
    // After a removal on any thread but the hub's own, the listener neither runs nor will run.
    OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    AudioObjectPropertyListenerProc proc, void* clientData);

    void changed(AudioObjectID object, const AudioObjectPropertyAddress& address);
    void waitUntilIdle();

  private:
    struct Registration {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc = nullptr;
        void* clientData = nullptr;

        bool operator==(const Registration&) const = default;
    };
    struct Change {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        // Who was listening when it changed; a later registration does not hear it.
        std::vector<Registration> hearers;
    };

    static bool hears(const Registration& r, AudioObjectID object,
                      const AudioObjectPropertyAddress& address);
    bool isRegistered(const Registration& r);
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<Registration> registrations_;
    std::deque<Change> changes_;
    bool delivering_ = false;
    bool stopping_ = false;
    // Held while a listener runs, so that a removal can wait for it to return.
    std::mutex deliveryMutex_;
    std::thread thread_;
};

}  // namespace brimo::hal::sim
