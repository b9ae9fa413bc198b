#include "google/GoogleIdTokenVerifier.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>

#include "google/Base64Url.h"

namespace brimo::server {
namespace {

// The two forms in which Google names itself as the issuer.
constexpr std::array<std::string_view, 2> kIssuers = {"accounts.google.com",
                                                      "https://accounts.google.com"};

// A JSON object from one Base64url part of the token, or none.
std::optional<nlohmann::json> jsonPart(std::string_view part) {
    const auto text = decodeBase64Url(part);
    if (!text) {
        return std::nullopt;
    }
    auto object = nlohmann::json::parse(*text, nullptr, false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    return object;
}

std::string textOf(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A NumericDate claim (seconds, possibly fractional), or none.
std::optional<double> timeOf(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number()) {
        return std::nullopt;
    }
    const double value = it->get<double>();
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// Google has sent the flag as a boolean and as the text "true".
bool isTrue(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() &&
           ((it->is_boolean() && it->get<bool>()) || (it->is_string() && *it == "true"));
}

TokenRefusal refuse(std::string reason) {
    return TokenRefusal{std::move(reason)};
}

}  // namespace

GoogleIdTokenVerifier::GoogleIdTokenVerifier(std::string clientId, JwksCache& keys, Clock clock)
    : clientId_(std::move(clientId)), keys_(keys), clock_(std::move(clock)) {}

std::variant<GoogleIdentity, TokenRefusal> GoogleIdTokenVerifier::verify(
    std::string_view token) const {
    if (token.size() > kMaxTokenBytes) {
        return refuse("the token is larger than " + std::to_string(kMaxTokenBytes) + " bytes");
    }
    const auto firstDot = token.find('.');
    const auto secondDot =
        firstDot == std::string_view::npos ? firstDot : token.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos ||
        token.find('.', secondDot + 1) != std::string_view::npos) {
        return refuse("the token does not have three parts");
    }
    const auto header = jsonPart(token.substr(0, firstDot));
    if (!header) {
        return refuse("the token's header is not a JSON object");
    }
    // The algorithm is fixed here, never taken from the token: "none", HMAC with the public
    // key as the secret and every other substitution end on this line.
    if (textOf(*header, "alg") != "RS256") {
        return refuse("the token is not signed with RS256");
    }
    const std::string keyId = textOf(*header, "kid");
    if (keyId.empty()) {
        return refuse("the token names no key");
    }
    const auto signature = decodeBase64Url(token.substr(secondDot + 1));
    if (!signature || signature->empty()) {
        return refuse("the token's signature is not Base64url");
    }
    const PublicKey key = keys_.find(keyId);
    if (!key) {
        return refuse("the provider does not publish the token's key");
    }
    if (!verifyRs256(key, token.substr(0, secondDot), *signature)) {
        return refuse("the token's signature does not verify");
    }

    // Signed by the provider: the claims can be read now.
    const auto claims = jsonPart(token.substr(firstDot + 1, secondDot - firstDot - 1));
    if (!claims) {
        return refuse("the token's claims are not a JSON object");
    }
    const std::string issuer = textOf(*claims, "iss");
    if (std::find(kIssuers.begin(), kIssuers.end(), issuer) == kIssuers.end()) {
        return refuse("the token's issuer is not Google");
    }
    if (textOf(*claims, "aud") != clientId_) {
        return refuse("the token is for another client");
    }
    const double now = clock_();
    const auto leeway = static_cast<double>(kLeewaySeconds);
    const auto expires = timeOf(*claims, "exp");
    const auto issued = timeOf(*claims, "iat");
    if (!expires || !issued) {
        return refuse("the token has no expiry or issue time");
    }
    if (now > *expires + leeway) {
        return refuse("the token has expired");
    }
    if (*issued > now + leeway) {
        return refuse("the token is issued in the future");
    }
    GoogleIdentity identity{textOf(*claims, "email"), textOf(*claims, "sub")};
    if (identity.email.empty()) {
        return refuse("the token carries no e-mail address");
    }
    if (!isTrue(*claims, "email_verified")) {
        return refuse("the token's e-mail address is not verified");
    }
    return identity;
}

}  // namespace brimo::server
