#pragma once

#include <functional>
#include <utility>

namespace brimo::observable {

// A handle that keeps one subscription alive: dropping it (or calling cancel) ends the
// subscription. Handles are moved, never copied, so every subscription has exactly one owner.
class Subscription {
  public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    ~Subscription() { cancel(); }

    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    void cancel() {
        if (auto cancel = std::exchange(cancel_, {})) {
            cancel();
        }
    }

    [[nodiscard]] bool isActive() const { return static_cast<bool>(cancel_); }

  private:
    std::function<void()> cancel_;
};

}  // namespace brimo::observable
