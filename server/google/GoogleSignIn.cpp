#include "google/GoogleSignIn.h"

#include <chrono>

namespace brimo::server {
namespace {

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

GoogleSignIn::GoogleSignIn(AccountService& accounts, const GoogleSettings& settings, Log log,
                           const Clock& clock)
    : accounts_(accounts),
      enabled_(!settings.clientId.empty()),
      log_(std::move(log)),
      fetcher_(settings.caFile),
      keys_(
          settings.jwksUrl, [this](const std::string& url) { return fetcher_.fetch(url); },
          clock ? clock : Clock(systemNow)),
      verifier_(settings.clientId, keys_, clock ? clock : Clock(systemNow)) {}

Reply GoogleSignIn::signIn(const std::string& idToken, const std::string& client) {
    if (!enabled_) {
        return Reply{501, errorBody(texts::kGoogleUnavailable), 0};
    }
    if (auto limited = accounts_.limitClient(client)) {
        return *limited;
    }
    std::variant<GoogleIdentity, TokenRefusal> checked;
    try {
        checked = verifier_.verify(idToken);
    } catch (const KeysUnavailable& e) {
        log_(std::string("Google sign-in: ") + e.what());
        return Reply{503, errorBody(texts::kGoogleKeysUnavailable), 0};
    }
    if (const auto* refusal = std::get_if<TokenRefusal>(&checked)) {
        log_("Google sign-in refused: " + refusal->reason);
        return Reply{401, errorBody(texts::kGoogleRefused), 0};
    }
    return accounts_.signInWithGoogle(std::get<GoogleIdentity>(checked).email);
}

}  // namespace brimo::server
