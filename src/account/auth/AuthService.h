#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/api/APIService.h"
#include "account/api/Records.h"
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
    };

    // Makes a service; with a stored token, restoring the session starts on the main queue.
    static std::shared_ptr<AuthService> create(Options options);

    // The process-wide instance, made for `mainQueue` on first use and never released.
    static std::shared_ptr<AuthService> shared(dispatch::MainQueue& mainQueue);

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

  private:
    explicit AuthService(Options options);

    // Login and register differ only in path and body.
    template <typename Body>
    void authenticate(const char* path, const Body& body, BoolCompletion completion);
    void fail(const RequestError& failure);

    dispatch::MainQueue& mainQueue_;
    const std::shared_ptr<APIService> api_;
    observable::Published<bool> isAuthenticated_{false};
    observable::Published<bool> isLoading_{false};
    observable::Published<std::optional<UserProfile>> user_;
    observable::Published<std::optional<std::string>> error_;
    // The PKCE verifier of the latest Google sign-in; set by that flow only.
    std::optional<std::string> codeVerifier_;
};

}  // namespace brimo::account
