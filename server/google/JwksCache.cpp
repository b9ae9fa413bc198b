#include "google/JwksCache.h"

#include <algorithm>

#include "google/CacheLifetime.h"

namespace brimo::server {

JwksCache::JwksCache(std::string url, Fetch fetch, Clock clock)
    : url_(std::move(url)), fetch_(std::move(fetch)), clock_(std::move(clock)) {}

unsigned JwksCache::fetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
}

void JwksCache::refresh(double now) {
    if (lastFetchFailed_ && now - *lastFetch_ < static_cast<double>(kRetryAfterFailureSeconds)) {
        throw KeysUnavailable("the provider's keys could not be fetched a moment ago");
    }
    ++fetches_;
    lastFetch_ = now;
    lastFetchFailed_ = true;
    FetchedDocument document;
    try {
        document = fetch_(url_);
    } catch (const FetchFailed& e) {
        throw KeysUnavailable(std::string("the provider's keys cannot be fetched: ") + e.what());
    }
    auto keys = JsonWebKeySet::parse(document.body);
    if (!keys) {
        throw KeysUnavailable("the provider's key set at " + url_ + " is not a JSON Web Key Set");
    }
    lastFetchFailed_ = false;
    keys_ = std::move(keys);
    freshUntil_ = now + static_cast<double>(std::min(cacheLifetimeSeconds(document.cacheControl),
                                                     kLongestLifetimeSeconds));
}

PublicKey JwksCache::find(const std::string& keyId) {
    std::lock_guard lock(mutex_);
    const double now = clock_();
    if (!keys_ || now >= freshUntil_) {
        refresh(now);
    }
    PublicKey key = keys_->find(keyId);
    // A key the provider has just begun to use; the once-a-minute limit also holds after a
    // refresh above, which has just fetched.
    if (!key && now - *lastFetch_ >= static_cast<double>(kUnknownKeyRefetchSeconds)) {
        refresh(now);
        key = keys_->find(keyId);
    }
    return key;
}

}  // namespace brimo::server
