#pragma once

#include <string>
#include <variant>

namespace brimo::account {

// Why an answer could not be read as the record expected: which key, and what was wrong.
struct DecodingError {
    std::string description;  // e.g. "Missing key \"forceUpdate\"."
    bool operator==(const DecodingError&) const = default;
};

// A failure of a web-service request that the client itself detects, with the text the
// interface shows for it.
class APIError {
  public:
    enum class Code {
        httpError,
        serverError,
        decodingError,
        invalidURL,
        invalidResponse,
        unauthorized
    };

    static APIError httpError(int statusCode) { return APIError(Code::httpError, statusCode); }
    static APIError serverError(std::string message) {
        return APIError(Code::serverError, 0, std::move(message));
    }
    static APIError decodingError(DecodingError error) {
        return APIError(Code::decodingError, 0, std::move(error.description));
    }
    static APIError invalidURL() { return APIError(Code::invalidURL); }
    static APIError invalidResponse() { return APIError(Code::invalidResponse); }
    static APIError unauthorized() { return APIError(Code::unauthorized); }

    [[nodiscard]] Code code() const { return code_; }
    // The status of an httpError; 0 otherwise.
    [[nodiscard]] int statusCode() const { return statusCode_; }
    // The server's text of a serverError, the decoding error's description of a decodingError.
    [[nodiscard]] const std::string& message() const { return message_; }

    // "HTTP Error: 500", the server's text, "Failed to decode response: …", "Invalid URL",
    // "Invalid response from server", "Please login again".
    [[nodiscard]] std::string localizedDescription() const;
    // The case and its payload, for console lines: "httpError(statusCode: 500)".
    [[nodiscard]] std::string fullDescription() const;

    bool operator==(const APIError&) const = default;

  private:
    explicit APIError(Code code, int statusCode = 0, std::string message = {})
        : code_(code), statusCode_(statusCode), message_(std::move(message)) {}

    Code code_;
    int statusCode_;
    std::string message_;
};

// A failure below HTTP: no connection, a time-out, TLS, cancellation, an address that may not
// be used. Carries the user-facing text and the transport's own detail.
struct TransportError {
    enum class Kind {
        cancelled,
        timedOut,
        cannotConnect,
        cannotFindHost,
        connectionLost,
        secureConnectionFailed,
        secureConnectionRequired,
        answerTooLarge,
        other
    };
    Kind kind = Kind::other;
    std::string localizedDescription;  // e.g. "The request timed out."
    std::string detail;                // the transport's own words, never a secret

    [[nodiscard]] std::string fullDescription() const;
    bool operator==(const TransportError&) const = default;

    static TransportError cancelled();
};

// A request body that could not be written as JSON (text that is not UTF-8).
struct EncodingError {
    std::string description;
    bool operator==(const EncodingError&) const = default;
};

// Every way a request can fail, as the account operations see it.
class RequestError {
  public:
    // NOLINTBEGIN(google-explicit-constructor): each failure is a request error as it stands
    RequestError(APIError error) : failure_(std::move(error)) {}
    RequestError(TransportError error) : failure_(std::move(error)) {}
    RequestError(EncodingError error) : failure_(std::move(error)) {}
    // NOLINTEND(google-explicit-constructor)

    [[nodiscard]] const APIError* apiError() const { return std::get_if<APIError>(&failure_); }
    [[nodiscard]] const TransportError* transportError() const {
        return std::get_if<TransportError>(&failure_);
    }
    [[nodiscard]] const EncodingError* encodingError() const {
        return std::get_if<EncodingError>(&failure_);
    }
    [[nodiscard]] bool isUnauthorized() const {
        const auto* api = apiError();
        return api != nullptr && api->code() == APIError::Code::unauthorized;
    }

    // The text to show the user.
    [[nodiscard]] std::string localizedDescription() const;
    // The text for console lines: the failure's kind and everything it carries.
    [[nodiscard]] std::string fullDescription() const;

    bool operator==(const RequestError&) const = default;

  private:
    std::variant<APIError, TransportError, EncodingError> failure_;
};

}  // namespace brimo::account
