// AuthService's Google sign-in: the authorization-code flow with PKCE through the user's
// browser, the token exchange with Google, and the ID token handed to our own service.
#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "account/auth/AuthService.h"
#include "account/auth/SecretRedaction.h"
#include "platform/browser/UrlComponents.h"

namespace brimo::account {
namespace {

constexpr const char* kInfo = "🔵 [GOOGLE AUTH] ";
constexpr const char* kError = "🔴 [GOOGLE AUTH] ";

std::string isoTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return {text.data(), length};
}

std::string describeQueryItems(const std::optional<browser::UrlComponents>& url) {
    std::string list = "[";
    if (url) {
        for (const auto& item : url->queryItems) {
            if (list.size() > 1) {
                list += ", ";
            }
            list += item.name;
            if (item.value) {
                list += "=" + (item.name == "code" ? redacted(*item.value) : *item.value);
            }
        }
    }
    return list + "]";
}

bool isValidUtf8(const std::string& text) {
    try {
        // Writing a string as JSON checks its encoding.
        [[maybe_unused]] const auto written = nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

struct TokenResponse {
    std::string idToken;
    std::string accessToken;
};

// Both keys are required strings; anything else in the answer is ignored.
std::variant<TokenResponse, DecodingError> decodeTokenResponse(const std::string& body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return DecodingError{"The data is not a JSON object."};
    }
    TokenResponse tokens;
    for (const auto& [key, target] :
         {std::pair{"id_token", &tokens.idToken}, std::pair{"access_token", &tokens.accessToken}}) {
        const auto found = json.find(key);
        if (found == json.end()) {
            return DecodingError{std::string("Missing key \"") + key + "\"."};
        }
        if (!found->is_string()) {
            return DecodingError{std::string("Key \"") + key + "\" is not a string."};
        }
        *target = found->get<std::string>();
    }
    return tokens;
}

}  // namespace

std::string AuthService::googleRedirectURI() const {
    return googleRedirectURIFor(google_.clientID);
}

std::optional<std::string> AuthService::generateCodeVerifier(const pkce::RandomSource& random) {
    return pkce::generateCodeVerifier(random);
}

std::string AuthService::generateCodeChallenge(const std::string& verifier) {
    return pkce::generateCodeChallenge(verifier);
}

std::optional<std::string> AuthService::extractAuthorizationCode(const std::string& url) {
    const auto parts = browser::UrlComponents::parse(url);
    if (!parts) {
        return std::nullopt;
    }
    auto code = parts->firstValue("code");
    // An empty code can only fail at Google: it is no code.
    if (code && code->empty()) {
        return std::nullopt;
    }
    return code;
}

void AuthService::googleLog(const std::string& message) const {
    // Console only: no developer log file is kept, so nothing of a sign-in is left on disk.
    print_("[" + isoTimestamp() + "] " + message);
}

std::optional<std::string> AuthService::googleAuthorizationURL(const std::string& challenge) const {
    const auto endpoint = browser::UrlComponents::parse(google_.authorizationEndpoint);
    if (!endpoint || (endpoint->scheme != "https" && endpoint->scheme != "http") ||
        google_.authorizationEndpoint.find('#') != std::string::npos) {
        return std::nullopt;
    }
    const std::string query = browser::encodeQuery({
        {"client_id", google_.clientID},
        {"redirect_uri", googleRedirectURI()},
        {"response_type", "code"},
        {"scope", "openid email profile"},
        {"code_challenge", challenge},
        {"code_challenge_method", "S256"},
        {"access_type", "offline"},
    });
    return google_.authorizationEndpoint + (endpoint->query ? "&" : "?") + query;
}

void AuthService::failGoogleSignIn(const std::string& text) {
    error_ = text;
    isLoading_ = false;
    isGoogleSignInRunning_ = false;
}

void AuthService::signInWithGoogle() {
    if (isGoogleSignInRunning_) {
        googleLog(std::string(kError) + "A Google sign-in is already running; ignored");
        return;
    }
    isGoogleSignInRunning_ = true;
    isLoading_ = true;
    error_ = std::nullopt;
    googleLog(std::string(kInfo) + "========== STARTING GOOGLE SIGN-IN ==========");
    googleLog(std::string(kInfo) + "Client ID: " + google_.clientID);
    googleLog(std::string(kInfo) + "Redirect URI: " + googleRedirectURI());

    auto verifier = generateCodeVerifier(random_);
    // An old verifier must not serve this attempt either.
    codeVerifier_ = verifier;
    if (!verifier) {
        googleLog(std::string(kError) + "The secure random source failed; no PKCE verifier");
        failGoogleSignIn("Could not start Google sign-in securely: no random data");
        return;
    }
    const std::string challenge = generateCodeChallenge(*verifier);
    googleLog(std::string(kInfo) +
              "PKCE verifier generated (length: " + std::to_string(verifier->size()) + ")");
    googleLog(std::string(kInfo) + "PKCE challenge: " + challenge.substr(0, 20) + "...");

    const auto url = googleAuthorizationURL(challenge);
    if (!url) {
        googleLog(std::string(kError) + "Failed to create authorization URL");
        failGoogleSignIn("Failed to create authorization URL");
        return;
    }
    googleLog(std::string(kInfo) + "Auth URL created: " + *url);
    googleLog(std::string(kInfo) + "Opening browser for authentication...");
    presentGoogleAuthSession(*url,
                             [weak = weak_from_this()](const browser::SessionOutcome& outcome) {
                                 if (auto self = weak.lock()) {
                                     self->receiveGoogleCallback(outcome);
                                 }
                             });
}

void AuthService::presentGoogleAuthSession(const std::string& url, CallbackCompletion completion) {
    isWaitingForBrowser_ = true;
    authSession_->start(url, schemeOf(googleRedirectURI()),
                        [weak = weak_from_this(),
                         completion = std::move(completion)](browser::SessionOutcome outcome) {
                            if (auto self = weak.lock()) {
                                self->isWaitingForBrowser_ = false;
                            }
                            completion(std::move(outcome));
                        });
}

void AuthService::cancelGoogleSignIn() {
    authSession_->cancel();
}

bool AuthService::handOverURL(const std::string& url) {
    return authSession_->deliver(url);
}

void AuthService::receiveGoogleCallback(const browser::SessionOutcome& outcome) {
    if (const auto* failure = std::get_if<browser::SessionError>(&outcome)) {
        googleLog(std::string(kError) + "Auth session error: " + failure->localizedDescription);
        googleLog(std::string(kError) + "Full error: " + failure->fullDescription);
        failGoogleSignIn(failure->localizedDescription);
        return;
    }
    const auto& callback = std::get<std::string>(outcome);
    googleLog(std::string(kInfo) + "Received callback URL: " + redactQuery(callback, {"code"}));
    const auto code = extractAuthorizationCode(callback);
    if (!code) {
        googleLog(std::string(kError) + "Failed to extract authorization code from callback URL");
        googleLog(std::string(kError) + "Callback URL components: " +
                  describeQueryItems(browser::UrlComponents::parse(callback)));
        failGoogleSignIn("Failed to get authorization code");
        return;
    }
    googleLog(std::string(kInfo) +
              "Authorization code received (length: " + std::to_string(code->size()) + ")");
    exchangeCodeForTokens(*code);
}

void AuthService::exchangeCodeForTokens(const std::string& code) {
    googleLog(std::string(kInfo) + "Starting token exchange...");
    if (!codeVerifier_) {
        googleLog(std::string(kError) + "Missing code verifier!");
        failGoogleSignIn("Missing code verifier");
        return;
    }
    googleLog(std::string(kInfo) +
              "Code verifier present (length: " + std::to_string(codeVerifier_->size()) + ")");

    http::HttpRequest request;
    request.url = google_.tokenEndpoint;
    request.method = "POST";
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    // Every value percent-encoded as a form value, so that no character of a code can end a
    // field early; no "Authorization" header: the verifier is the proof.
    request.body = browser::encodeQuery({
        {"client_id", google_.clientID},
        {"code", code},
        {"code_verifier", *codeVerifier_},
        {"grant_type", "authorization_code"},
        {"redirect_uri", googleRedirectURI()},
    });
    googleLog(std::string(kInfo) + "Sending token exchange request to Google...");
    googleLog(std::string(kInfo) + "Request URL: " + google_.tokenEndpoint);
    googleLog(std::string(kInfo) +
              "Request body: " + redactFormBody(*request.body, {"code", "code_verifier"}));

    if (!tokenTransport_) {
        auto options = tokenTransportOptions_;
        if (!options.caFile) {
            options.caFile = google_.tokenCAFile;
        }
        // The whole exchange, as Google's token request is given: 60 seconds.
        options.resourceTimeout = std::chrono::seconds(60);
        tokenTransport_ = std::make_unique<http::HttpTransport>(std::move(options));
    }
    tokenTransport_->send(
        request, [weak = weak_from_this(), queue = &mainQueue_](http::HttpOutcome outcome) {
            queue->post([weak, outcome = std::move(outcome)] {
                if (auto self = weak.lock()) {
                    self->receiveTokens(outcome);
                }
            });
        });
}

void AuthService::receiveTokens(const http::HttpOutcome& outcome) {
    if (std::holds_alternative<http::NotHttpResponse>(outcome)) {
        googleLog(std::string(kError) + "Invalid response type");
        failGoogleSignIn("Invalid response");
        return;
    }
    if (const auto* failure = std::get_if<TransportError>(&outcome)) {
        googleLog(std::string(kError) + "Token exchange error: " + failure->localizedDescription);
        googleLog(std::string(kError) + "Full error: " + failure->fullDescription());
        failGoogleSignIn(failure->localizedDescription);
        return;
    }
    const auto& response = std::get<http::HttpResponse>(outcome);
    const bool isUtf8 = isValidUtf8(response.body);
    const std::string bodyText = isUtf8 ? response.body : "Unable to decode response";
    googleLog(std::string(kInfo) +
              "Google token response status: " + std::to_string(response.statusCode));
    googleLog(std::string(kInfo) + "Response headers: " + describeHeaders(response.headers));
    googleLog(std::string(kInfo) + "Response body: " +
              (isUtf8 ? redactTokenAnswer(bodyText, response.statusCode == 200) : bodyText));
    if (response.statusCode != 200) {
        googleLog(std::string(kError) + "Token exchange failed!");
        failGoogleSignIn(bodyText);
        return;
    }
    auto tokens = decodeTokenResponse(response.body);
    if (const auto* failure = std::get_if<DecodingError>(&tokens)) {
        const APIError error = APIError::decodingError(*failure);
        googleLog(std::string(kError) + "Token exchange error: " + error.localizedDescription());
        googleLog(std::string(kError) + "Full error: " + error.fullDescription());
        failGoogleSignIn(error.localizedDescription());
        return;
    }
    const auto& idToken = std::get<TokenResponse>(tokens).idToken;
    googleLog(std::string(kInfo) +
              "Tokens received! ID token length: " + std::to_string(idToken.size()));
    authenticateWithBackend(idToken);
}

void AuthService::authenticateWithBackend(const std::string& idToken, BoolCompletion completion) {
    googleLog(std::string(kInfo) + "Sending ID token to backend...");
    googleLog(std::string(kInfo) + "Backend endpoint: /auth/google");
    api_->request<AuthResponse>(
        "/auth/google", "POST", GoogleAuthRequest{idToken},
        [weak = weak_from_this(),
         completion = std::move(completion)](const Result<AuthResponse>& result) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (result.isSuccess()) {
                self->googleLog(std::string(kInfo) +
                                "✅ SUCCESS! User: " + result.value().user.email);
                self->googleLog(std::string(kInfo) +
                                "========== GOOGLE SIGN-IN COMPLETE ==========");
                self->handleAuthResponse(result.value());
                self->isLoading_ = false;
                self->isGoogleSignInRunning_ = false;
                if (completion) {
                    completion(true);
                }
                return;
            }
            self->googleLog(std::string(kError) +
                            "Backend error: " + result.error().localizedDescription());
            self->googleLog(std::string(kError) +
                            "Full error: " + result.error().fullDescription());
            self->failGoogleSignIn(result.error().localizedDescription());
            if (completion) {
                completion(false);
            }
        });
}

}  // namespace brimo::account
