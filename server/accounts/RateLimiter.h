#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace brimo::server {

// Token buckets by key: `capacity` attempts at once, refilled evenly over `windowSeconds`.
// Memory is bounded: when the table grows past `maximumKeys`, buckets that have refilled are
// dropped, and if that is not enough the table starts again empty (limits fail open rather
// than the service failing closed for everyone).
class RateLimiter {
  public:
    RateLimiter(unsigned capacity, unsigned windowSeconds, std::size_t maximumKeys = 100000);

    // Takes one attempt for `key` at time `now` (seconds). Returns 0 when allowed, otherwise
    // the whole seconds until the next attempt would be allowed (at least 1).
    [[nodiscard]] unsigned acquire(const std::string& key, double now);

    [[nodiscard]] bool enabled() const { return capacity_ > 0; }

  private:
    struct Bucket {
        double tokens;
        double updated;
    };
    void prune(double now);

    double capacity_;
    double refillPerSecond_;
    std::size_t maximumKeys_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace brimo::server
