#include "http/HttpExchange.h"

#include <strings.h>

namespace brimo::server {

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
            return value;
        }
    }
    return {};
}

std::string HttpRequest::param(std::string_view name) const {
    for (const auto& [key, value] : params) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

HttpReply jsonReply(const Reply& reply) {
    HttpReply out;
    out.status = reply.status;
    // Replacement characters rather than an exception for malformed UTF-8 echoed back.
    out.body = reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (reply.retryAfterSeconds > 0) {
        out.headers.emplace_back("Retry-After", std::to_string(reply.retryAfterSeconds));
    }
    return out;
}

HttpReply errorReply(int status) {
    return jsonReply(Reply{status, errorBody(defaultErrorText(status)), 0});
}

std::string defaultErrorText(int status) {
    switch (status) {
        case 400:
            return "The request is malformed.";
        case 401:
            return texts::kSessionInvalid;
        case 404:
            return "There is nothing at this address.";
        case 405:
            return "This method is not allowed here.";
        case 408:
            return "The request took too long to arrive.";
        case 413:
            return "The request body is too large.";
        case 414:
            return "The request address is too long.";
        case 415:
            return "Requests must be sent as application/json.";
        case 429:
            return texts::kTooManyAttempts;
        case 431:
            return "The request headers are too large.";
        case 501:
            return "This is not implemented.";
        case 503:
            return texts::kUnavailable;
        default:
            return status >= 500 ? "Something went wrong on our side. Please try again later."
                                 : "The request cannot be served.";
    }
}

}  // namespace brimo::server
