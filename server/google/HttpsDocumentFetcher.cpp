#include "google/HttpsDocumentFetcher.h"

#include <curl/curl.h>

#include <memory>
#include <string_view>

namespace brimo::server {
namespace {

constexpr long kConnectSeconds = 5;
constexpr long kTotalSeconds = 10;

struct Download {
    FetchedDocument document;
    std::size_t maxBytes = 0;
    bool tooLarge = false;
};

std::size_t takeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* download = static_cast<Download*>(user);
    const std::size_t n = size * count;
    if (download->document.body.size() + n > download->maxBytes) {
        download->tooLarge = true;
        return 0;  // ends the transfer with an error
    }
    download->document.body.append(data, n);
    return n;
}

std::size_t takeHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* download = static_cast<Download*>(user);
    const std::size_t n = size * count;
    const std::string_view line(data, n);
    constexpr std::string_view name = "cache-control:";
    if (line.size() > name.size() && curl_strnequal(line.data(), name.data(), name.size()) != 0) {
        std::string_view value = line.substr(name.size());
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
            value.remove_suffix(1);
        }
        // A header repeated is one list (RFC 9110, 5.3).
        if (!download->document.cacheControl.empty()) {
            download->document.cacheControl += ',';
        }
        download->document.cacheControl.append(value);
    } else if (line.starts_with("HTTP/")) {
        download->document.cacheControl.clear();  // a new answer's headers begin
    }
    return n;
}

}  // namespace

HttpsDocumentFetcher::HttpsDocumentFetcher(std::filesystem::path caFile, std::size_t maxBytes)
    : caFile_(std::move(caFile)), maxBytes_(maxBytes) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

FetchedDocument HttpsDocumentFetcher::fetch(const std::string& url) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        throw FetchFailed("libcurl could not start");
    }
    CURL* h = curl.get();
    Download download;
    download.maxBytes = maxBytes_;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile_.c_str());
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kTotalSeconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, takeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, takeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &download);
    const CURLcode result = curl_easy_perform(h);
    if (download.tooLarge) {
        throw FetchFailed(url + ": the answer is larger than " + std::to_string(maxBytes_) +
                          " bytes");
    }
    if (result != CURLE_OK) {
        throw FetchFailed(url + ": " + curl_easy_strerror(result));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        throw FetchFailed(url + ": status " + std::to_string(status));
    }
    return std::move(download.document);
}

}  // namespace brimo::server
