#include "account/api/APIError.h"

#include "platform/text/PrintableText.h"

namespace brimo::account {
namespace {

// Console lines quote texts the way a debugger shows them, so a line break cannot forge one
// and an escape sequence cannot reach the terminal.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    // Every other control character (ESC above all) as a visible escape.
    return brimo::text::printable(out) + "\"";
}

}  // namespace

std::string APIError::localizedDescription() const {
    switch (code_) {
        case Code::httpError:
            return "HTTP Error: " + std::to_string(statusCode_);
        case Code::serverError:
            return message_;
        case Code::decodingError:
            return "Failed to decode response: " + message_;
        case Code::invalidURL:
            return "Invalid URL";
        case Code::invalidResponse:
            return "Invalid response from server";
        case Code::unauthorized:
            return "Please login again";
    }
    return "Invalid response from server";
}

std::string APIError::fullDescription() const {
    switch (code_) {
        case Code::httpError:
            return "APIError.httpError(statusCode: " + std::to_string(statusCode_) + ")";
        case Code::serverError:
            return "APIError.serverError(" + quoted(message_) + ")";
        case Code::decodingError:
            return "APIError.decodingError(" + quoted(message_) + ")";
        case Code::invalidURL:
            return "APIError.invalidURL";
        case Code::invalidResponse:
            return "APIError.invalidResponse";
        case Code::unauthorized:
            return "APIError.unauthorized";
    }
    return "APIError";
}

std::string TransportError::fullDescription() const {
    std::string text = "TransportError(" + quoted(localizedDescription);
    if (!detail.empty()) {
        text += ", " + quoted(detail);
    }
    return text + ")";
}

TransportError TransportError::cancelled() {
    return {Kind::cancelled, "cancelled", {}};
}

std::string RequestError::localizedDescription() const {
    if (const auto* api = apiError()) {
        return api->localizedDescription();
    }
    if (const auto* transport = transportError()) {
        return transport->localizedDescription;
    }
    return std::get<EncodingError>(failure_).description;
}

std::string RequestError::fullDescription() const {
    if (const auto* api = apiError()) {
        return api->fullDescription();
    }
    if (const auto* transport = transportError()) {
        return transport->fullDescription();
    }
    return "EncodingError(" + quoted(std::get<EncodingError>(failure_).description) + ")";
}

}  // namespace brimo::account
