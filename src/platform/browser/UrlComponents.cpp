#include "platform/browser/UrlComponents.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace brimo::browser {
namespace {

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};

bool isSchemeCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
}

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Printable ASCII without the space, and every "%" followed by two hex digits.
bool isWellFormed(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F) {
            return false;
        }
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) {
            return false;
        }
    }
    return true;
}

std::string percentDecode(std::string_view text) {
    int length = 0;
    const std::unique_ptr<char, CurlFree> decoded(
        curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length));
    return decoded ? std::string(decoded.get(), static_cast<std::size_t>(length)) : std::string();
}

std::vector<QueryItem> queryItemsOf(std::string_view query) {
    std::vector<QueryItem> items;
    if (query.empty()) {
        return items;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view item = query.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            items.push_back({percentDecode(item), std::nullopt});
        } else {
            items.push_back(
                {percentDecode(item.substr(0, equals)), percentDecode(item.substr(equals + 1))});
        }
        if (end == query.size()) {
            return items;
        }
        start = end + 1;
    }
}

}  // namespace

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
    if (!isWellFormed(text)) {
        return std::nullopt;
    }
    const std::size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        std::isalpha(static_cast<unsigned char>(text.front())) == 0 ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                     isSchemeCharacter)) {
        return std::nullopt;
    }
    UrlComponents url;
    url.scheme = std::string(text.substr(0, colon));
    std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string_view rest = text.substr(colon + 1);
    rest = rest.substr(0, rest.find('#'));
    const std::size_t question = rest.find('?');
    url.path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) {
        const std::string_view query = rest.substr(question + 1);
        url.query = std::string(query);
        url.queryItems = queryItemsOf(query);
    }
    return url;
}

std::optional<std::string> UrlComponents::firstValue(std::string_view name) const {
    const auto found = std::find_if(queryItems.begin(), queryItems.end(),
                                    [&](const QueryItem& item) { return item.name == name; });
    return found == queryItems.end() ? std::nullopt : found->value;
}

std::string percentEncode(std::string_view value) {
    const std::unique_ptr<char, CurlFree> encoded(
        curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())));
    return encoded ? std::string(encoded.get()) : std::string();
}

std::string encodeQuery(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string query;
    for (const auto& [name, value] : items) {
        if (!query.empty()) {
            query += '&';
        }
        query += name;
        query += '=';
        query += percentEncode(value);
    }
    return query;
}

}  // namespace brimo::browser
