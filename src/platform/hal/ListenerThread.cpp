#include "platform/hal/ListenerThread.h"

#include <algorithm>

namespace brimo::hal {

ListenerThread::ListenerThread() : thread_([this] { run(); }) {}

ListenerThread::~ListenerThread() {
    stop();
}

void ListenerThread::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

OSStatus ListenerThread::add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             AudioObjectPropertyListenerProc listener, void* clientData) {
    const std::lock_guard lock(mutex_);
    const Registration registration{object, address, listener, clientData, postedCount_};
    if (find(registration) == registrations_.end()) {
        registrations_.push_back(registration);
    }
    return noErr;
}

OSStatus ListenerThread::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                AudioObjectPropertyListenerProc listener, void* clientData) {
    const Registration registration{object, address, listener, clientData};
    {
        const std::lock_guard lock(mutex_);
        auto found = find(registration);
        if (found == registrations_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        registrations_.erase(found);
    }
    // A call that began before the removal ends before we return; later ones find it gone.
    if (std::this_thread::get_id() != thread_.get_id()) {
        const std::lock_guard waitForCall(callMutex_);
    }
    return noErr;
}

void ListenerThread::post(const std::vector<PropertyChange>& changes) {
    if (changes.empty()) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        for (const auto& change : changes) {
            queue_.push_back({change, ++postedCount_});
        }
    }
    wake_.notify_one();
}

void ListenerThread::flush() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;
    }
    std::unique_lock lock(mutex_);
    delivered_.wait(lock, [&] { return deliveredCount_ >= postedCount_ || stopping_; });
}

bool ListenerThread::hears(const AudioObjectPropertyAddress& wanted,
                           const AudioObjectPropertyAddress& changed) {
    const auto scopesMatch = wanted.mScope == kAudioObjectPropertyScopeWildcard ||
                             wanted.mScope == changed.mScope ||
                             wanted.mScope == kAudioObjectPropertyScopeGlobal ||
                             changed.mScope == kAudioObjectPropertyScopeGlobal;
    return scopesMatch &&
           (wanted.mSelector == kAudioObjectPropertySelectorWildcard ||
            wanted.mSelector == changed.mSelector) &&
           (wanted.mElement == kAudioObjectPropertyElementWildcard ||
            wanted.mElement == changed.mElement);
}

std::vector<ListenerThread::Registration>::iterator ListenerThread::find(
    const Registration& registration) {
    return std::find_if(registrations_.begin(), registrations_.end(),
                        [&](const Registration& other) { return other.sameAs(registration); });
}

bool ListenerThread::isRegistered(const Registration& registration) {
    const std::lock_guard lock(mutex_);
    return find(registration) != registrations_.end();
}

void ListenerThread::run() {
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
            if (registration.postedBefore < sequence && registration.object == change.object &&
                hears(registration.address, change.address)) {
                targets.push_back(registration);
            }
        }
        lock.unlock();
        for (const auto& target : targets) {
            const std::lock_guard call(callMutex_);
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

}  // namespace brimo::hal
