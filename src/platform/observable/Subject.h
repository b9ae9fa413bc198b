#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/observable/Subscription.h"

namespace brimo::observable {

// A pass-through subject: every value sent reaches the observers subscribed at that moment,
// in subscription order; the subject keeps no value. Used on the main thread only.
//
// Observers may subscribe or cancel (themselves or others) while a value is being delivered:
// a cancelled observer receives nothing more, a new one receives only later values. The
// subject may also be destroyed while handles to it are still alive; they then do nothing.
template <typename T>
class Subject {
  public:
    using Observer = std::function<void(const T&)>;

    Subject() = default;
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    [[nodiscard]] Subscription subscribe(Observer observer) {
        auto slot = std::make_shared<Slot>(Slot{std::move(observer), true});
        slots_->push_back(slot);
        std::weak_ptr<Slots> weakSlots = slots_;
        return Subscription([weakSlots, weakSlot = std::weak_ptr<Slot>(slot)] {
            auto liveSlot = weakSlot.lock();
            auto slots = weakSlots.lock();
            if (!liveSlot || !slots) {
                return;
            }
            liveSlot->isActive = false;
            std::erase(*slots, liveSlot);
        });
    }

    void send(const T& value) {
        // A snapshot, so that subscribing or cancelling during delivery is safe.
        const Slots snapshot = *slots_;
        for (const auto& slot : snapshot) {
            if (slot->isActive) {
                slot->observer(value);
            }
        }
    }

    [[nodiscard]] std::size_t observerCount() const { return slots_->size(); }

  private:
    struct Slot {
        Observer observer;
        bool isActive;
    };
    using Slots = std::vector<std::shared_ptr<Slot>>;
    std::shared_ptr<Slots> slots_ = std::make_shared<Slots>();
};

}  // namespace brimo::observable
