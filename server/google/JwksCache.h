#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "google/HttpsDocumentFetcher.h"
#include "google/JsonWebKeySet.h"

namespace brimo::server {

// The provider's keys cannot be had: nothing fresh is cached and fetching failed.
struct KeysUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The provider's key set, kept as long as its Cache-Control allows and fetched again when that
// has passed. A key ID it does not know fetches the set again, at most once a minute, so
// tokens with made-up key IDs cannot make the service flood the provider. After a failed fetch
// it waits a few seconds before trying again, answering at once meanwhile: requests do not
// queue behind a provider that is down.
class JwksCache {
  public:
    using Fetch = std::function<FetchedDocument(const std::string& url)>;  // throws FetchFailed
    using Clock = std::function<double()>;  // seconds, moving forward

    static constexpr std::int64_t kUnknownKeyRefetchSeconds = 60;
    static constexpr std::int64_t kLongestLifetimeSeconds = 24 * 3600;
    static constexpr std::int64_t kRetryAfterFailureSeconds = 10;

    JwksCache(std::string url, Fetch fetch, Clock clock);

    // The key with this ID, or null when the provider does not publish it. Throws
    // KeysUnavailable. Safe from many threads; one fetch runs at a time.
    PublicKey find(const std::string& keyId);

    // How often the set was fetched (successfully or not).
    [[nodiscard]] unsigned fetches() const;

  private:
    void refresh(double now);

    std::string url_;
    Fetch fetch_;
    Clock clock_;
    mutable std::mutex mutex_;
    std::optional<JsonWebKeySet> keys_;
    double freshUntil_ = 0;
    std::optional<double> lastFetch_;
    bool lastFetchFailed_ = false;
    unsigned fetches_ = 0;
};

}  // namespace brimo::server
