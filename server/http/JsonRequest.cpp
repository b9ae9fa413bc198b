#include "http/JsonRequest.h"

namespace brimo::server {
namespace {

Reply badRequest(int status, const std::string& text) {
    return Reply{status, errorBody(text), 0};
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

std::variant<nlohmann::json, Reply> parseJsonObject(const std::string& contentType,
                                                    const std::string& body) {
    // "application/json" with or without parameters such as a charset.
    const std::string type = lowerCase(contentType.substr(0, contentType.find(';')));
    const auto end = type.find_last_not_of(" \t");
    if (end == std::string::npos || type.substr(0, end + 1) != "application/json") {
        return badRequest(415, "Requests must be sent as application/json.");
    }
    // The parser refuses malformed UTF-8 inside strings as well as malformed JSON.
    nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
    if (value.is_discarded()) {
        return badRequest(400, "The request body is not valid JSON.");
    }
    if (!value.is_object()) {
        return badRequest(400, "The request body must be a JSON object.");
    }
    return value;
}

std::variant<std::string, Reply> stringField(const nlohmann::json& object, const char* key,
                                             std::size_t maximumBytes) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return badRequest(400, std::string("The request is missing \"") + key + "\".");
    }
    if (!it->is_string()) {
        return badRequest(400, std::string("\"") + key + "\" must be a string.");
    }
    const auto& text = it->get_ref<const std::string&>();
    if (text.size() > maximumBytes) {
        return badRequest(400, std::string("\"") + key + "\" is too long.");
    }
    return text;
}

}  // namespace brimo::server
