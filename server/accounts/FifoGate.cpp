#include "accounts/FifoGate.h"

namespace brimo::server {

void FifoGate::enter() {
    std::unique_lock lock(mutex_);
    // Ticket n may enter once n - places have left; tickets therefore enter in their order.
    const std::uint64_t ticket = tickets_++;
    ++waiting_;
    turn_.wait(lock, [&] { return ticket < left_ + places_; });
    --waiting_;
}

unsigned FifoGate::waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
}

void FifoGate::leave() {
    {
        std::lock_guard lock(mutex_);
        ++left_;
    }
    // Few wait here (at most the hashing lane's workers): waking them all is cheap.
    turn_.notify_all();
}

}  // namespace brimo::server
