#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/api/APIService.h"
#include "account/api/Records.h"
#include "account/auth/GoogleConfiguration.h"
#include "account/auth/Pkce.h"
#include "account/http/HttpTransport.h"
#include "platform/browser/WebAuthenticationSession.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/observable/Published.h"

namespace brimo::account {

// The signed-in state of the application and the account operations: restoring the session
// from the stored token, checking an address, signing in, creating an account, asking for a
// password-reset mail, signing out.
//
// Confined to the main thread: every operation is called there, every published property
// changes there, and every completion runs there. Operations never throw; a failure's text
// lands in `error`.
class AuthService : public std::enable_shared_from_this<AuthService> {
  public:
    using BoolCompletion = std::function<void(bool)>;

    struct Options {
        // Where the operations run; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // APIService::shared(*mainQueue) unless given.
        std::shared_ptr<APIService> api;
        // Google sign-in: the browser hand-off (the user's browser unless given), the client and
        // endpoints (the built-in ones unless given), the token request's transport (the
        // system's certificate authorities unless given), the random source and the console.
        std::shared_ptr<browser::WebAuthenticationSession> authSession;
        std::optional<GoogleConfiguration> google;
        http::HttpTransportOptions tokenTransport;
        pkce::RandomSource random;
        console::LineWriter print;
    };

    // Makes a service; with a stored token, restoring the session starts on the main queue.
    static std::shared_ptr<AuthService> create(Options options);

    // The process-wide instance, made for `mainQueue` on first use and never released.
    static std::shared_ptr<AuthService> shared(dispatch::MainQueue& mainQueue);

    ~AuthService();
    AuthService(const AuthService&) = delete;
    AuthService& operator=(const AuthService&) = delete;

    // A user is signed in; the main screen hides the sign-in overlay while true.
    observable::Published<bool>& isAuthenticated() { return isAuthenticated_; }
    // An account operation is in flight; the overlay shows its progress panel.
    observable::Published<bool>& isLoading() { return isLoading_; }
    // The signed-in account.
    observable::Published<std::optional<UserProfile>>& user() { return user_; }
    // The same property under the name the interface code reads it by.
    observable::Published<std::optional<UserProfile>>& currentUser() { return user_; }
    // The text of the last failure, for the overlay to show.
    observable::Published<std::optional<std::string>>& error() { return error_; }

    [[nodiscard]] const std::shared_ptr<APIService>& api() const { return api_; }

    // Restores the session from the stored token. `done` runs when it has finished.
    void checkAuthStatus(std::function<void()> done = {});
    // Whether an account with the address exists; false on failure, with `error` set. Unlike
    // the other operations it leaves an earlier `error` in place.
    void checkEmail(const std::string& email, BoolCompletion completion = {});
    // True when signed in.
    void login(const std::string& email, const std::string& password,
               BoolCompletion completion = {});
    // Creates the account and signs in; true on success. ("register" is a C++ keyword.)
    void registerAccount(const std::string& email, const std::string& password,
                         BoolCompletion completion = {});
    // True when the service accepted the request for a reset mail.
    void forgotPassword(const std::string& email, BoolCompletion completion = {});
    // Completion of every sign-in: stores the token, sets the user, signs in.
    void handleAuthResponse(const AuthResponse& response);
    // Signs out: forgets the token and the user at once, then asks the service to end the
    // session without waiting for its answer.
    void logout();

    // Google sign-in (authorization code with PKCE through the browser). The outcome shows in
    // isAuthenticated, isLoading and error; a second start while one runs is ignored.
    void signInWithGoogle();
    // Ends a sign-in that waits for the browser, with "Google sign-in was cancelled.".
    void cancelGoogleSignIn();
    // The browser shows Google's page and the flow waits for its redirect; the progress panel
    // offers "Cancel" while true.
    observable::Published<bool>& isWaitingForBrowser() { return isWaitingForBrowser_; }
    // A URL that reached the application from outside; true when it was the sign-in's callback.
    bool handOverURL(const std::string& url);

    // The reversed-client-ID redirect of the configured client, computed on every call.
    [[nodiscard]] std::string googleRedirectURI() const;
    // The verifier of the latest attempt; none before the first, or after a failed random
    // source.
    [[nodiscard]] const std::optional<std::string>& codeVerifier() const { return codeVerifier_; }

    static std::optional<std::string> generateCodeVerifier(
        const pkce::RandomSource& random = pkce::systemRandomBytes);
    static std::string generateCodeChallenge(const std::string& verifier);
    // The value of the callback URL's first "code" item; none when there is no such value.
    static std::optional<std::string> extractAuthorizationCode(const std::string& url);

  private:
    explicit AuthService(Options options);

    // Login and register differ only in path and body.
    template <typename Body>
    void authenticate(const char* path, const Body& body, BoolCompletion completion);
    void fail(const RequestError& failure);

    using CallbackCompletion = std::function<void(browser::SessionOutcome outcome)>;
    void presentGoogleAuthSession(const std::string& url, CallbackCompletion completion);
    void receiveGoogleCallback(const browser::SessionOutcome& outcome);
    void exchangeCodeForTokens(const std::string& code);
    void receiveTokens(const http::HttpOutcome& outcome);
    void authenticateWithBackend(const std::string& idToken, BoolCompletion completion = {});
    // Ends the Google flow at a failure point with `text` as the error.
    void failGoogleSignIn(const std::string& text);
    void googleLog(const std::string& message) const;
    [[nodiscard]] std::optional<std::string> googleAuthorizationURL(
        const std::string& challenge) const;

    dispatch::MainQueue& mainQueue_;
    const std::shared_ptr<APIService> api_;
    observable::Published<bool> isAuthenticated_{false};
    observable::Published<bool> isLoading_{false};
    observable::Published<std::optional<UserProfile>> user_;
    observable::Published<std::optional<std::string>> error_;
    // The PKCE verifier of the latest Google sign-in; set by that flow only.
    std::optional<std::string> codeVerifier_;
    const std::shared_ptr<browser::WebAuthenticationSession> authSession_;
    const GoogleConfiguration google_;
    const http::HttpTransportOptions tokenTransportOptions_;
    const pkce::RandomSource random_;
    const console::LineWriter print_;
    // Made for the first token request; its end drops an exchange in flight unanswered.
    std::unique_ptr<http::HttpTransport> tokenTransport_;
    observable::Published<bool> isWaitingForBrowser_{false};
    bool isGoogleSignInRunning_ = false;
};

}  // namespace brimo::account
