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
    ring();
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
    ring();
}

void ListenerThread::postNotice(Notice& notice) {
    Notice* newest = posted_.load(std::memory_order_relaxed);
    do {
        notice.next = newest;
    } while (!posted_.compare_exchange_weak(newest, &notice, std::memory_order_release,
                                            std::memory_order_relaxed));
    ring();
}

void ListenerThread::withdraw(Notice& notice) {
    std::unique_lock lock(mutex_);
    takePostedNotices();
    std::erase(notices_, &notice);
    if (std::this_thread::get_id() != thread_.get_id()) {
        noticeDelivered_.wait(lock, [&] { return delivering_ != &notice; });
    }
}

void ListenerThread::takePostedNotices() {
    Notice* newest = posted_.exchange(nullptr, std::memory_order_acquire);
    const auto at = notices_.end() - notices_.begin();
    for (; newest != nullptr; newest = newest->next) {
        notices_.insert(notices_.begin() + at, newest);  // the oldest ends up first
    }
}

void ListenerThread::ring() {
    bell_.fetch_add(1, std::memory_order_release);
    bell_.notify_one();
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

// Waits on the bell rather than a condition variable, so that a notice can wake the thread
// without the lock: whatever rings after the count was read makes the wait return at once.
void ListenerThread::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        const std::uint32_t rung = bell_.load(std::memory_order_acquire);
        takePostedNotices();
        if (stopping_) {
            break;
        }
        if (!notices_.empty()) {
            deliverNotice(lock);
        } else if (!queue_.empty()) {
            deliverChange(lock);
        } else {
            lock.unlock();
            bell_.wait(rung, std::memory_order_acquire);
            lock.lock();
        }
    }
    delivered_.notify_all();
    noticeDelivered_.notify_all();
}

void ListenerThread::deliverNotice(std::unique_lock<std::mutex>& lock) {
    Notice* notice = notices_.front();
    notices_.pop_front();
    delivering_ = notice;
    const auto deliver = notice->deliver;
    void* context = notice->context;
    lock.unlock();
    deliver(context);  // the notice itself may be gone when this returns
    lock.lock();
    delivering_ = nullptr;
    noticeDelivered_.notify_all();
}

void ListenerThread::deliverChange(std::unique_lock<std::mutex>& lock) {
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

}  // namespace brimo::hal
