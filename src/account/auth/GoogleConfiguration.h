#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brimo::account {

// The desktop OAuth client registered with Google and Google's two endpoints.
struct GoogleConfiguration {
    // "<identifier>.apps.googleusercontent.com"
    std::string clientID;
    std::string authorizationEndpoint;
    std::string tokenEndpoint;
    // The authorities the token request trusts; the system's store when none.
    std::optional<std::filesystem::path> tokenCAFile;

    // What the build was configured with (BRIMO_GOOGLE_* cache variables).
    static GoogleConfiguration builtIn();
};

// Google's fixed client-ID domain suffix, with its leading dot.
inline constexpr const char* kGoogleClientIDSuffix = ".apps.googleusercontent.com";

// The reversed-client-ID redirect: every occurrence of the suffix removed from the client ID,
// "com.googleusercontent.apps." put in front, ":/oauth2callback" appended.
std::string googleRedirectURIFor(const std::string& clientID);

// The part of a URI before its first ":".
std::string schemeOf(const std::string& uri);

}  // namespace brimo::account
