#include "account/api/Records.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace brimo::account {
namespace {

using Json = nlohmann::json;

// Thrown inside this file only, caught where a decode starts.
struct DecodingFailure {
    std::string description;
};

std::string typeName(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::object:
            return "an object";
        default:
            return "a number";
    }
}

std::string joinPath(std::string_view parent, std::string_view key) {
    return parent.empty() ? std::string(key) : std::string(parent) + "." + std::string(key);
}

// Reads the fields of one JSON object, naming each key by its full path in failures.
class FieldReader {
  public:
    FieldReader(const Json& object, std::string path) : object_(object), path_(std::move(path)) {
        if (!object_.is_object()) {
            throw DecodingFailure{
                path_.empty()
                    ? "Expected an object at the top level, found " + typeName(object_) + "."
                    : "Key \"" + path_ + "\" is not an object (found " + typeName(object_) + ")."};
        }
    }

    [[nodiscard]] std::string string(std::string_view key) const {
        const Json& value = required(key);
        if (!value.is_string()) {
            throw wrongType(key, "a string", value);
        }
        return value.get<std::string>();
    }

    [[nodiscard]] bool boolean(std::string_view key) const {
        const Json& value = required(key);
        if (!value.is_boolean()) {
            throw wrongType(key, "a boolean", value);
        }
        return value.get<bool>();
    }

    // Absent and null both read as none.
    [[nodiscard]] std::optional<bool> optionalBoolean(std::string_view key) const {
        const auto found = object_.find(key);
        if (found == object_.end() || found->is_null()) {
            return std::nullopt;
        }
        if (!found->is_boolean()) {
            throw wrongType(key, "a boolean", *found);
        }
        return found->get<bool>();
    }

    [[nodiscard]] FieldReader object(std::string_view key) const {
        return {required(key), joinPath(path_, key)};
    }

  private:
    [[nodiscard]] const Json& required(std::string_view key) const {
        const auto found = object_.find(key);
        if (found == object_.end()) {
            throw DecodingFailure{"Missing key \"" + joinPath(path_, key) + "\"."};
        }
        return *found;
    }

    [[nodiscard]] DecodingFailure wrongType(std::string_view key, std::string_view wanted,
                                            const Json& value) const {
        return {"Key \"" + joinPath(path_, key) + "\" is not " + std::string(wanted) + " (found " +
                typeName(value) + ")."};
    }

    const Json& object_;
    std::string path_;
};

UserProfile readUser(const FieldReader& fields) {
    return {fields.string("id"), fields.string("email"), fields.boolean("emailVerified"),
            fields.string("authProvider")};
}

template <typename Record, typename Read>
Decoded<Record> decodeWith(std::string_view text, Read read) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& failure) {
        return DecodingError{"The answer is not valid JSON (at byte " +
                             std::to_string(failure.byte) + ")."};
    }
    try {
        return read(FieldReader(document, ""));
    } catch (const DecodingFailure& failure) {
        return DecodingError{failure.description};
    }
}

EncodedBody encodeJson(const Json& object) {
    try {
        return object.dump();
    } catch (const Json::type_error&) {
        return EncodingError{"The request could not be encoded: a text field is not valid UTF-8."};
    }
}

}  // namespace

EncodedBody encodeRecord(const CheckEmailRequest& record) {
    return encodeJson({{"email", record.email}});
}
EncodedBody encodeRecord(const LoginRequest& record) {
    return encodeJson({{"email", record.email}, {"password", record.password}});
}
EncodedBody encodeRecord(const RegisterRequest& record) {
    return encodeJson({{"email", record.email}, {"password", record.password}});
}
EncodedBody encodeRecord(const ForgotPasswordRequest& record) {
    return encodeJson({{"email", record.email}});
}
EncodedBody encodeRecord(const GoogleAuthRequest& record) {
    return encodeJson({{"idToken", record.idToken}});
}

template <>
Decoded<ErrorResponse> decodeRecord<ErrorResponse>(std::string_view json) {
    return decodeWith<ErrorResponse>(
        json, [](const FieldReader& fields) { return ErrorResponse{fields.string("error")}; });
}

template <>
Decoded<UserProfile> decodeRecord<UserProfile>(std::string_view json) {
    return decodeWith<UserProfile>(json, readUser);
}

template <>
Decoded<CheckEmailResponse> decodeRecord<CheckEmailResponse>(std::string_view json) {
    return decodeWith<CheckEmailResponse>(json, [](const FieldReader& fields) {
        return CheckEmailResponse{fields.boolean("exists")};
    });
}

template <>
Decoded<MessageResponse> decodeRecord<MessageResponse>(std::string_view json) {
    return decodeWith<MessageResponse>(
        json, [](const FieldReader& fields) { return MessageResponse{fields.string("message")}; });
}

template <>
Decoded<AuthResponse> decodeRecord<AuthResponse>(std::string_view json) {
    return decodeWith<AuthResponse>(json, [](const FieldReader& fields) {
        return AuthResponse{fields.string("token"), readUser(fields.object("user")),
                            fields.optionalBoolean("isNewUser")};
    });
}

template <>
Decoded<UserProfileResponse> decodeRecord<UserProfileResponse>(std::string_view json) {
    return decodeWith<UserProfileResponse>(json, [](const FieldReader& fields) {
        return UserProfileResponse{readUser(fields.object("user"))};
    });
}

template <>
Decoded<VersionResponse> decodeRecord<VersionResponse>(std::string_view json) {
    return decodeWith<VersionResponse>(json, [](const FieldReader& fields) {
        return VersionResponse{fields.string("version"), fields.string("releaseNotes"),
                               fields.string("downloadUrl"), fields.boolean("forceUpdate")};
    });
}

}  // namespace brimo::account
