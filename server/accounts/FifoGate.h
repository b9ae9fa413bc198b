#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace brimo::server {

// At most `places` holders at once, let in strictly in the order they came: a waiter is never
// overtaken, so its wait is bounded by those ahead of it.
class FifoGate {
  public:
    explicit FifoGate(unsigned places) : places_(places) {}

    void enter();
    void leave();
    // How many wait in enter() now.
    [[nodiscard]] unsigned waiting();

    // Holds one place for a scope.
    class Place {
      public:
        explicit Place(FifoGate& gate) : gate_(gate) { gate_.enter(); }
        ~Place() { gate_.leave(); }
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;
        Place(Place&&) = delete;
        Place& operator=(Place&&) = delete;

      private:
        FifoGate& gate_;
    };

  private:
    std::mutex mutex_;
    std::condition_variable turn_;
    unsigned places_;
    std::uint64_t tickets_ = 0;  // handed out, one per arrival
    std::uint64_t left_ = 0;     // places given back
    unsigned waiting_ = 0;
};

}  // namespace brimo::server
