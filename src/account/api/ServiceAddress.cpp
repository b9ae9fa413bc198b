#include "account/api/ServiceAddress.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <memory>
#include <optional>

namespace brimo::account {
namespace {

struct ParsedURL {
    std::string scheme;
    std::string host;
};

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) {
        return std::nullopt;
    }
    const std::unique_ptr<char, CurlTextDeleter> owned(raw);
    return std::string(raw);
}

std::optional<ParsedURL> parseAbsolute(std::string_view text) {
    // libcurl's parser stops at a NUL; an address with one in it is no address.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    const std::string copy(text);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto scheme = part(url.get(), CURLUPART_SCHEME);
    auto host = part(url.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty() || (*scheme != "http" && *scheme != "https")) {
        return std::nullopt;
    }
    return ParsedURL{std::move(*scheme), std::move(*host)};
}

bool isLoopbackHost(std::string host) {
    if (host == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24U) == 127U;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        // ::ffff:127.x.y.z reaches the IPv4 loopback.
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127U;
    }
    return false;
}

}  // namespace

std::variant<ServiceAddress, RequestError> checkServiceAddress(std::string_view text) {
    const auto parsed = parseAbsolute(text);
    if (!parsed) {
        return RequestError(APIError::invalidURL());
    }
    if (parsed->scheme == "http" && !isLoopbackHost(parsed->host)) {
        return RequestError(TransportError{
            TransportError::Kind::secureConnectionRequired,
            "A secure connection is required: the web service's address must use HTTPS.",
            "plain HTTP to " + parsed->host + " refused"});
    }
    return ServiceAddress{std::string(text)};
}

bool isWebAddress(std::string_view text) {
    return parseAbsolute(text).has_value();
}

}  // namespace brimo::account
