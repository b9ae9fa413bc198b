#include "account/auth/SecretRedaction.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

namespace brimo::account {
namespace {

bool isSecretName(const std::string& name, const std::vector<std::string>& secrets) {
    return std::find(secrets.begin(), secrets.end(), name) != secrets.end();
}

// Items "name=value" separated by "&", the secret ones' values redacted.
std::string redactItems(const std::string& items, const std::vector<std::string>& secrets) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(items.find('&', start), items.size());
        const std::string item = items.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (equals != std::string::npos && isSecretName(item.substr(0, equals), secrets)) {
            out += item.substr(0, equals + 1) + redacted(item.substr(equals + 1));
        } else {
            out += item;
        }
        if (end == items.size()) {
            return out;
        }
        out += '&';
        start = end + 1;
    }
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void redactSecretStrings(nlohmann::json& value) {
    if (!value.is_object()) {
        return;
    }
    for (auto& [key, item] : value.items()) {
        if (item.is_string() && (endsWith(key, "token") || endsWith(key, "code"))) {
            item = redacted(item.get<std::string>());
        } else if (item.is_object()) {
            redactSecretStrings(item);
        }
    }
}

}  // namespace

std::string redacted(const std::string& secret) {
    return "<redacted " + std::to_string(secret.size()) + " chars>";
}

std::string redactFormBody(const std::string& body, const std::vector<std::string>& secretFields) {
    return redactItems(body, secretFields);
}

std::string redactQuery(const std::string& url, const std::vector<std::string>& secretItems) {
    const std::size_t question = url.find('?');
    if (question == std::string::npos) {
        return url;
    }
    const std::size_t hash = url.find('#', question);
    const std::string query = url.substr(
        question + 1, hash == std::string::npos ? std::string::npos : hash - question - 1);
    // A fragment is printed by its length only: nothing of ours lives there.
    const std::string fragment =
        hash == std::string::npos ? std::string() : "#" + redacted(url.substr(hash + 1));
    return url.substr(0, question + 1) + redactItems(query, secretItems) + fragment;
}

std::string redactTokenAnswer(const std::string& body, bool whole) {
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return whole ? redacted(body) : body;
    }
    redactSecretStrings(parsed);
    return parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string describeHeaders(const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string line = "[";
    for (const auto& [name, value] : headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (line.size() > 1) {
            line += ", ";
        }
        line += "\"" + name + "\": \"" + (lower == "set-cookie" ? redacted(value) : value) + "\"";
    }
    return line + "]";
}

}  // namespace brimo::account
