#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

#include "accounts/AccountService.h"

namespace brimo::server {

// The request body as a JSON object, or the 4xx answer explaining why it is not one
// (Content-Type other than application/json, malformed JSON or UTF-8, not an object).
std::variant<nlohmann::json, Reply> parseJsonObject(const std::string& contentType,
                                                    const std::string& body);

// The string field `key` of `object`, or the 400 answer naming the key (absent, null or
// another type). Fields longer than `maximumBytes` are refused rather than cut.
std::variant<std::string, Reply> stringField(const nlohmann::json& object, const char* key,
                                             std::size_t maximumBytes = 4096);

}  // namespace brimo::server
