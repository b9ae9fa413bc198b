#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "account/api/APIError.h"

namespace brimo::account {

// The records exchanged with the web service. JSON keys are exactly the field names; keys an
// answer carries beyond these are ignored; every field is required unless optional.

struct ErrorResponse {
    std::string error;
};

// The signed-in account. `authProvider` says how the account was made; it is opaque text.
struct UserProfile {
    std::string id;
    std::string email;
    bool emailVerified = false;
    std::string authProvider;
    bool operator==(const UserProfile&) const = default;
};

struct CheckEmailRequest {
    std::string email;
};
struct CheckEmailResponse {
    bool exists = false;
};
struct LoginRequest {
    std::string email;
    std::string password;
};
struct RegisterRequest {
    std::string email;
    std::string password;
};
struct ForgotPasswordRequest {
    std::string email;
};
struct MessageResponse {
    std::string message;
};
struct GoogleAuthRequest {
    std::string idToken;
};
// `token` is the opaque session token; the client never parses it.
struct AuthResponse {
    std::string token;
    UserProfile user;
    std::optional<bool> isNewUser;
};
struct UserProfileResponse {
    UserProfile user;
};
struct VersionResponse {
    std::string version;
    std::string releaseNotes;
    std::string downloadUrl;
    bool forceUpdate = false;
};
// The body of requests that send none.
struct Empty {};

// A request body as compact JSON, or why it cannot be written (text that is not UTF-8).
using EncodedBody = std::variant<std::string, EncodingError>;
EncodedBody encodeRecord(const CheckEmailRequest& record);
EncodedBody encodeRecord(const LoginRequest& record);
EncodedBody encodeRecord(const RegisterRequest& record);
EncodedBody encodeRecord(const ForgotPasswordRequest& record);
EncodedBody encodeRecord(const GoogleAuthRequest& record);

// An answer's body read as `Record`, or which key was missing or of the wrong type.
template <typename Record>
using Decoded = std::variant<Record, DecodingError>;

template <typename Record>
Decoded<Record> decodeRecord(std::string_view json);

template <>
Decoded<ErrorResponse> decodeRecord<ErrorResponse>(std::string_view json);
template <>
Decoded<UserProfile> decodeRecord<UserProfile>(std::string_view json);
template <>
Decoded<CheckEmailResponse> decodeRecord<CheckEmailResponse>(std::string_view json);
template <>
Decoded<MessageResponse> decodeRecord<MessageResponse>(std::string_view json);
template <>
Decoded<AuthResponse> decodeRecord<AuthResponse>(std::string_view json);
template <>
Decoded<UserProfileResponse> decodeRecord<UserProfileResponse>(std::string_view json);
template <>
Decoded<VersionResponse> decodeRecord<VersionResponse>(std::string_view json);

}  // namespace brimo::account
