#include "account/auth/GoogleConfiguration.h"

#include <string_view>

namespace brimo::account {

std::string googleRedirectURIFor(const std::string& clientID) {
    const std::string_view suffix = kGoogleClientIDSuffix;
    std::string identifier = clientID;
    for (auto at = identifier.find(suffix); at != std::string::npos;
         at = identifier.find(suffix, at)) {
        identifier.erase(at, suffix.size());
    }
    return "com.googleusercontent.apps." + identifier + ":/oauth2callback";
}

std::string schemeOf(const std::string& uri) {
    return uri.substr(0, uri.find(':'));
}

}  // namespace brimo::account
