#include "accounts/RateLimiter.h"

#include <algorithm>
#include <cmath>

namespace brimo::server {

RateLimiter::RateLimiter(unsigned capacity, unsigned windowSeconds, std::size_t maximumKeys)
    : capacity_(capacity),
      refillPerSecond_(windowSeconds == 0 ? 0.0 : capacity / static_cast<double>(windowSeconds)),
      maximumKeys_(std::max<std::size_t>(1, maximumKeys)) {}

double RateLimiter::level(const Bucket& bucket, double now) const {
    return std::min(capacity_, bucket.score + (now * refillPerSecond_));
}

unsigned RateLimiter::secondsUntilOne(double tokens) const {
    const double wait = (1.0 - tokens) / refillPerSecond_;
    return std::max(1U, static_cast<unsigned>(std::ceil(wait)));
}

void RateLimiter::store(const std::string& key, Table::iterator found, double tokens, double now) {
    const double score = tokens - (now * refillPerSecond_);
    if (found != buckets_.end()) {
        byScore_.erase(found->second.order);
        found->second.score = score;
        found->second.order = byScore_.emplace(score, &found->first).first;
        return;
    }
    if (buckets_.size() >= maximumKeys_) {
        const auto fullest = std::prev(byScore_.end());
        const auto evicted = buckets_.find(*fullest->second);
        byScore_.erase(fullest);
        buckets_.erase(evicted);
    }
    auto inserted = buckets_.emplace(key, Bucket{score, {}}).first;
    inserted->second.order = byScore_.emplace(score, &inserted->first).first;
}

unsigned RateLimiter::acquire(const std::string& key, double now) {
    if (!enabled()) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    const auto found = buckets_.find(key);
    const double tokens = found == buckets_.end() ? capacity_ : level(found->second, now);
    if (tokens < 1.0) {
        return secondsUntilOne(tokens);
    }
    store(key, found, tokens - 1.0, now);
    return 0;
}

unsigned RateLimiter::wait(const std::string& key, double now) {
    if (!enabled()) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    const auto found = buckets_.find(key);
    if (found == buckets_.end()) {
        return 0;
    }
    const double tokens = level(found->second, now);
    return tokens >= 1.0 ? 0 : secondsUntilOne(tokens);
}

void RateLimiter::spend(const std::string& key, double now) {
    if (!enabled()) {
        return;
    }
    std::lock_guard lock(mutex_);
    const auto found = buckets_.find(key);
    const double tokens = found == buckets_.end() ? capacity_ : level(found->second, now);
    store(key, found, std::max(0.0, tokens - 1.0), now);
}

void RateLimiter::forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto found = buckets_.find(key);
    if (found != buckets_.end()) {
        byScore_.erase(found->second.order);
        buckets_.erase(found);
    }
}

std::size_t RateLimiter::size() {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

}  // namespace brimo::server
