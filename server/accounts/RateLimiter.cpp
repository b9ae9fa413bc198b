#include "accounts/RateLimiter.h"

#include <algorithm>
#include <cmath>

namespace brimo::server {

RateLimiter::RateLimiter(unsigned capacity, unsigned windowSeconds, std::size_t maximumKeys)
    : capacity_(capacity),
      refillPerSecond_(windowSeconds == 0 ? 0.0 : capacity / static_cast<double>(windowSeconds)),
      maximumKeys_(maximumKeys) {}

unsigned RateLimiter::acquire(const std::string& key, double now) {
    if (capacity_ <= 0 || refillPerSecond_ <= 0) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maximumKeys_) {
            prune(now);
        }
        it = buckets_.emplace(key, Bucket{capacity_, now}).first;
    }
    Bucket& bucket = it->second;
    const double elapsed = std::max(0.0, now - bucket.updated);
    bucket.tokens = std::min(capacity_, bucket.tokens + (elapsed * refillPerSecond_));
    bucket.updated = std::max(bucket.updated, now);
    if (bucket.tokens >= 1.0) {
        bucket.tokens -= 1.0;
        return 0;
    }
    const double wait = (1.0 - bucket.tokens) / refillPerSecond_;
    return std::max(1U, static_cast<unsigned>(std::ceil(wait)));
}

void RateLimiter::prune(double now) {
    std::erase_if(buckets_, [&](const auto& entry) {
        const Bucket& b = entry.second;
        return b.tokens + ((now - b.updated) * refillPerSecond_) >= capacity_;
    });
    if (buckets_.size() >= maximumKeys_) {
        buckets_.clear();
    }
}

}  // namespace brimo::server
