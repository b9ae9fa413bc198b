#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace brimo::server {

// A document and the Cache-Control header it came with.
struct FetchedDocument {
    std::string body;
    std::string cacheControl;
};

// The document could not be fetched; the text says why (it carries no secret).
struct FetchFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// GETs small public documents over HTTPS only, verifying the server against the system's CA
// store or `caFile`; no redirects, a time limit and a size limit.
class HttpsDocumentFetcher {
  public:
    explicit HttpsDocumentFetcher(std::filesystem::path caFile = {},
                                  std::size_t maxBytes = 256 * 1024);

    // Throws FetchFailed for anything but a complete answer of status 200.
    [[nodiscard]] FetchedDocument fetch(const std::string& url) const;

  private:
    std::filesystem::path caFile_;
    std::size_t maxBytes_;
};

}  // namespace brimo::server
