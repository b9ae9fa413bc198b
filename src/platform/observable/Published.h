#pragma once

#include <utility>

#include "platform/observable/Subject.h"

namespace brimo::observable {

// An observable ("published") property: holds a value and announces every assignment, equal
// or not, to its observers. A new observer receives the current value at once. Like every
// published change, assignments happen on the main thread.
template <typename T>
class Published {
  public:
    using Observer = typename Subject<T>::Observer;

    Published() = default;
    explicit Published(T initial) : value_(std::move(initial)) {}

    [[nodiscard]] const T& value() const { return value_; }
    // NOLINTNEXTLINE(google-explicit-constructor): reads like the property it stands for
    operator const T&() const { return value_; }

    void set(T value) {
        value_ = std::move(value);
        // Observers get their own copy, so one that assigns again during delivery cannot
        // change what the others receive.
        const T delivered = value_;
        changes_.send(delivered);
    }
    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    [[nodiscard]] Subscription subscribe(Observer observer) {
        observer(value_);
        return changes_.subscribe(std::move(observer));
    }

  private:
    T value_{};
    Subject<T> changes_;
};

}  // namespace brimo::observable
