#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brimo::browser {

// One query item: a name and, when the item has an "=", its value (both percent-decoded).
struct QueryItem {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const QueryItem&) const = default;
};

// The parts of an absolute URL that the sign-in hand-off looks at. Taken apart as written, not
// resolved against anything; "+" in the query stays a plus sign.
struct UrlComponents {
    std::string scheme;  // lower case
    std::string path;    // as written, e.g. "/oauth2callback"
    std::optional<std::string> query;
    std::vector<QueryItem> queryItems;

    // None when the text is not an absolute URL: no scheme, a character outside the URL's
    // printable ASCII (spaces and controls included), or a broken percent escape.
    static std::optional<UrlComponents> parse(std::string_view text);

    // The value of the first item named exactly `name`.
    [[nodiscard]] std::optional<std::string> firstValue(std::string_view name) const;
};

// Every byte but letters, digits and "-._~" as %XX: safe as a query value and as a form value
// (an "&", "=" or "+" in a value cannot change the meaning of the rest).
std::string percentEncode(std::string_view value);

// "name=value&name=value…", each value percent-encoded, names as given.
std::string encodeQuery(const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace brimo::browser
