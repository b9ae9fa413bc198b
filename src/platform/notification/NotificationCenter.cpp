#include "platform/notification/NotificationCenter.h"

namespace brimo::notification {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Leaked on purpose: observers may still be removed from static destructors.
    static auto* center = new NotificationCenter();
    return *center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, Handler handler) {
    const std::lock_guard guard(mutex_);
    observations_.push_back(
        std::make_shared<Observation>(Observation{observer, std::move(name), std::move(handler)}));
}

void NotificationCenter::removeObserver(const void* observer) {
    const std::lock_guard guard(mutex_);
    std::erase_if(observations_, [observer](const auto& observation) {
        if (observation->observer != observer) {
            return false;
        }
        observation->isActive = false;
        return true;
    });
}

void NotificationCenter::post(std::string_view name) {
    std::vector<std::shared_ptr<Observation>> receivers;
    {
        const std::lock_guard guard(mutex_);
        for (const auto& observation : observations_) {
            if (observation->name == name) {
                receivers.push_back(observation);
            }
        }
    }
    // Handlers run unlocked so that they may post, add or remove observers themselves.
    for (const auto& receiver : receivers) {
        bool isActive = false;
        {
            const std::lock_guard guard(mutex_);
            isActive = receiver->isActive;
        }
        if (isActive) {
            receiver->handler();
        }
    }
}

std::size_t NotificationCenter::observerCount() const {
    const std::lock_guard guard(mutex_);
    return observations_.size();
}

}  // namespace brimo::notification
