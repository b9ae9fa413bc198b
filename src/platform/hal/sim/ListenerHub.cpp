#include "platform/hal/sim/ListenerHub.h"

#include <algorithm>

namespace brimo::hal::sim {

ListenerHub::ListenerHub() : thread_([this] { run(); }) {}

ListenerHub::~ListenerHub() {
    {
        const std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

OSStatus ListenerHub::add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          AudioObjectPropertyListenerProc proc, void* clientData) {
    const Registration r{object, address, proc, clientData};
    const std::lock_guard guard(mutex_);
    if (std::find(registrations_.begin(), registrations_.end(), r) == registrations_.end()) {
        registrations_.push_back(r);
    }
    return noErr;
}

OSStatus ListenerHub::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             AudioObjectPropertyListenerProc proc, void* clientData) {
    const Registration r{object, address, proc, clientData};
    {
        const std::lock_guard guard(mutex_);
        const auto it = std::find(registrations_.begin(), registrations_.end(), r);
        if (it == registrations_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        registrations_.erase(it);
    }
    if (std::this_thread::get_id() != thread_.get_id()) {
        // Wait out a call that may be under way; later deliveries see the registration gone.
        const std::lock_guard wait(deliveryMutex_);
    }
    return noErr;
}

void ListenerHub::changed(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    {
        const std::lock_guard guard(mutex_);
        Change change{object, address, {}};
        for (const auto& r : registrations_) {
            if (hears(r, object, address)) {
                change.hearers.push_back(r);
            }
        }
        if (change.hearers.empty()) {
            return;
        }
        changes_.push_back(std::move(change));
    }
    wake_.notify_one();
}

void ListenerHub::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return changes_.empty() && !delivering_; });
}

bool ListenerHub::hears(const Registration& r, AudioObjectID object,
                        const AudioObjectPropertyAddress& address) {
    const auto& a = r.address;
    // A change of a property that has no scope is reported in the global scope and reaches
    // listeners of any scope.
    return r.object == object &&
           (a.mSelector == kAudioObjectPropertySelectorWildcard ||
            a.mSelector == address.mSelector) &&
           (a.mScope == kAudioObjectPropertyScopeWildcard || a.mScope == address.mScope ||
            address.mScope == kAudioObjectPropertyScopeGlobal) &&
           (a.mElement == kAudioObjectPropertyElementWildcard || a.mElement == address.mElement);
}

bool ListenerHub::isRegistered(const Registration& r) {
    const std::lock_guard guard(mutex_);
    return std::find(registrations_.begin(), registrations_.end(), r) != registrations_.end();
}

void ListenerHub::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !changes_.empty(); });
        if (stopping_) {
            return;
        }
        const Change change = std::move(changes_.front());
        changes_.pop_front();
        delivering_ = true;
        lock.unlock();
        for (const auto& r : change.hearers) {
            const std::lock_guard delivery(deliveryMutex_);
            if (isRegistered(r)) {
                r.proc(change.object, 1, &change.address, r.clientData);
            }
        }
        lock.lock();
        delivering_ = false;
        if (changes_.empty()) {
            idle_.notify_all();
        }
    }
}

}  // namespace brimo::hal::sim
