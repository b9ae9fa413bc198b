#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace brimo::server {

// Token buckets by key: `capacity` tokens at once, refilled evenly over `windowSeconds`. A key
// without a bucket has a full one, so only keys that spent something take memory.
//
// Memory is bounded by `maximumKeys`. When a new key needs room, the bucket that will be full
// soonest goes: the least recently and least spent one, which tells the least. A flood of
// made-up keys that each spent a little therefore cannot push out a key that spent its all,
// and the table is never emptied at once.
class RateLimiter {
  public:
    RateLimiter(unsigned capacity, unsigned windowSeconds, std::size_t maximumKeys = 100000);

    // Takes one token for `key` at time `now` (seconds). Returns 0 when it was there,
    // otherwise the whole seconds until one will be (at least 1), taking nothing.
    [[nodiscard]] unsigned acquire(const std::string& key, double now);

    // The whole seconds until `key` has a token (0: it has one now), taking nothing.
    [[nodiscard]] unsigned wait(const std::string& key, double now);

    // Takes one token if there is one: a failure counted after the fact.
    void spend(const std::string& key, double now);

    // Gives `key` a full bucket again.
    void forget(const std::string& key);

    [[nodiscard]] bool enabled() const { return capacity_ > 0 && refillPerSecond_ > 0; }
    [[nodiscard]] std::size_t size();

  private:
    // A bucket's level at time t is min(capacity, score + t × refill): ordering buckets by
    // score orders them by level at every time, so the order needs no updating as time passes.
    using ByScore = std::set<std::pair<double, const std::string*>>;
    struct Bucket {
        double score;
        ByScore::iterator order;
    };
    using Table = std::unordered_map<std::string, Bucket>;

    [[nodiscard]] double level(const Bucket& bucket, double now) const;
    // Sets the bucket of `key` to `tokens` at `now`, making room for it if it is new.
    void store(const std::string& key, Table::iterator found, double tokens, double now);
    [[nodiscard]] unsigned secondsUntilOne(double tokens) const;

    double capacity_;
    double refillPerSecond_;
    std::size_t maximumKeys_;
    std::mutex mutex_;
    Table buckets_;
    ByScore byScore_;
};

}  // namespace brimo::server
