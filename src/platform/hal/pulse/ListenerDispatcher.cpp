#include "platform/hal/pulse/ListenerDispatcher.h"

#include <algorithm>

namespace brimo::hal::pulse {

ListenerDispatcher::ListenerDispatcher() : thread_([this] { run(); }) {}

ListenerDispatcher::~ListenerDispatcher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

OSStatus ListenerDispatcher::add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc listener, void* clientData) {
    std::lock_guard lock(mutex_);
    const Registration registration{object, address, listener, clientData, postedCount_};
    if (find(registration) == registrations_.end()) {
        registrations_.push_back(registration);
    }
    return noErr;
}

OSStatus ListenerDispatcher::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc listener, void* clientData) {
    const Registration registration{object, address, listener, clientData};
    {
        std::lock_guard lock(mutex_);
        auto found = find(registration);
        if (found == registrations_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        registrations_.erase(found);
    }
    // A call that began before the removal ends before we return; later ones find it gone.
    if (std::this_thread::get_id() != thread_.get_id()) {
        std::lock_guard waitForCall(callMutex_);
    }
    return noErr;
}

void ListenerDispatcher::post(const std::vector<PropertyChange>& changes) {
    if (changes.empty()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        for (const auto& change : changes) {
            queue_.push_back({change, ++postedCount_});
        }
    }
    wake_.notify_one();
}

void ListenerDispatcher::flush() {
    std::unique_lock lock(mutex_);
    const auto target = postedCount_;
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;  // a listener waiting for itself would never return
    }
    delivered_.wait(lock, [&] { return deliveredCount_ >= target || stopping_; });
}

bool ListenerDispatcher::matches(const Registration& registration, const PropertyChange& change) {
    const auto& wanted = registration.address;
    const auto& changed = change.address;
    return registration.object == change.object &&
           (wanted.mSelector == kAudioObjectPropertySelectorWildcard ||
            wanted.mSelector == changed.mSelector) &&
           (wanted.mScope == kAudioObjectPropertyScopeWildcard ||
            wanted.mScope == changed.mScope) &&
           (wanted.mElement == kAudioObjectPropertyElementWildcard ||
            wanted.mElement == changed.mElement);
}

std::vector<ListenerDispatcher::Registration>::iterator ListenerDispatcher::find(
    const Registration& registration) {
    return std::find_if(registrations_.begin(), registrations_.end(),
                        [&](const Registration& other) { return other.sameAs(registration); });
}

bool ListenerDispatcher::isRegistered(const Registration& registration) {
    std::lock_guard lock(mutex_);
    return find(registration) != registrations_.end();
}

void ListenerDispatcher::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            break;
        }
        const auto [change, sequence] = queue_.front();
        queue_.pop_front();
        std::vector<Registration> targets;
        for (const auto& registration : registrations_) {
            if (registration.postedBefore < sequence && matches(registration, change)) {
                targets.push_back(registration);
            }
        }
        lock.unlock();
        for (const auto& target : targets) {
            std::lock_guard call(callMutex_);
            if (isRegistered(target)) {
                target.listener(change.object, 1, &change.address, target.clientData);
            }
        }
        lock.lock();
        ++deliveredCount_;
        delivered_.notify_all();
    }
    delivered_.notify_all();
}

}  // namespace brimo::hal::pulse
