#include "account/auth/AuthService.h"

#include <chrono>
#include <utility>

#include "platform/browser/BrowserAuthenticationSession.h"
#include "platform/dispatch/SharedService.h"

namespace brimo::account {
namespace {

void finish(const AuthService::BoolCompletion& completion, bool value) {
    if (completion) {
        completion(value);
    }
}

}  // namespace

std::shared_ptr<AuthService> AuthService::create(Options options) {
    std::shared_ptr<AuthService> service(new AuthService(std::move(options)));
    // Without a token nobody is signed in and nothing is sent.
    if (service->api_->loadToken()) {
        service->mainQueue_.post([weak = std::weak_ptr<AuthService>(service)] {
            if (auto self = weak.lock()) {
                self->checkAuthStatus();
            }
        });
    }
    return service;
}

std::shared_ptr<AuthService> AuthService::shared(dispatch::MainQueue& mainQueue) {
    return dispatch::sharedService<AuthService>(mainQueue);
}

AuthService::AuthService(Options options)
    : mainQueue_(*options.mainQueue),
      api_(options.api ? std::move(options.api) : APIService::shared(*options.mainQueue)),
      authSession_(options.authSession
                       ? std::move(options.authSession)
                       : browser::BrowserAuthenticationSession::create(
                             {options.mainQueue, {}, std::chrono::minutes(10), options.print})),
      google_(options.google ? std::move(*options.google) : GoogleConfiguration::builtIn()),
      tokenTransportOptions_(std::move(options.tokenTransport)),
      random_(options.random ? std::move(options.random)
                             : pkce::RandomSource(&pkce::systemRandomBytes)),
      print_(console::orStandardOutput(std::move(options.print))) {}

AuthService::~AuthService() = default;

void AuthService::checkAuthStatus(std::function<void()> done) {
    if (!api_->loadToken()) {
        isAuthenticated_ = false;
        if (done) {
            done();
        }
        return;
    }
    api_->request<UserProfileResponse>("/user/me", "GET",
                                       [weak = weak_from_this(), done = std::move(done)](
                                           const Result<UserProfileResponse>& result) {
                                           if (auto self = weak.lock()) {
                                               if (result.isSuccess()) {
                                                   self->user_ = result.value().user;
                                                   self->isAuthenticated_ = true;
                                               } else if (result.error().isUnauthorized()) {
                                                   self->logout();
                                               }
                                               // Any other failure keeps the token for the next
                                               // start; this run stays signed out.
                                           }
                                           if (done) {
                                               done();
                                           }
                                       });
}

void AuthService::checkEmail(const std::string& email, BoolCompletion completion) {
    isLoading_ = true;
    api_->request<CheckEmailResponse>("/auth/check-email", "POST", CheckEmailRequest{email},
                                      [weak = weak_from_this(), completion = std::move(completion)](
                                          const Result<CheckEmailResponse>& result) {
                                          auto self = weak.lock();
                                          if (!self) {
                                              return;
                                          }
                                          if (result.isSuccess()) {
                                              self->isLoading_ = false;
                                              finish(completion, result.value().exists);
                                              return;
                                          }
                                          self->fail(result.error());
                                          finish(completion, false);
                                      });
}

template <typename Body>
void AuthService::authenticate(const char* path, const Body& body, BoolCompletion completion) {
    isLoading_ = true;
    error_ = std::nullopt;
    api_->request<AuthResponse>(path, "POST", body,
                                [weak = weak_from_this(), completion = std::move(completion)](
                                    const Result<AuthResponse>& result) {
                                    auto self = weak.lock();
                                    if (!self) {
                                        return;
                                    }
                                    if (result.isSuccess()) {
                                        self->handleAuthResponse(result.value());
                                        self->isLoading_ = false;
                                        finish(completion, true);
                                        return;
                                    }
                                    self->fail(result.error());
                                    finish(completion, false);
                                });
}

void AuthService::login(const std::string& email, const std::string& password,
                        BoolCompletion completion) {
    authenticate("/auth/login", LoginRequest{email, password}, std::move(completion));
}

void AuthService::registerAccount(const std::string& email, const std::string& password,
                                  BoolCompletion completion) {
    authenticate("/auth/register", RegisterRequest{email, password}, std::move(completion));
}

void AuthService::forgotPassword(const std::string& email, BoolCompletion completion) {
    isLoading_ = true;
    error_ = std::nullopt;
    api_->request<MessageResponse>("/auth/forgot-password", "POST", ForgotPasswordRequest{email},
                                   [weak = weak_from_this(), completion = std::move(completion)](
                                       const Result<MessageResponse>& result) {
                                       auto self = weak.lock();
                                       if (!self) {
                                           return;
                                       }
                                       if (result.isSuccess()) {
                                           self->isLoading_ = false;
                                           finish(completion, true);
                                           return;
                                       }
                                       self->fail(result.error());
                                       finish(completion, false);
                                   });
}

void AuthService::handleAuthResponse(const AuthResponse& response) {
    api_->saveToken(response.token);
    user_ = response.user;
    isAuthenticated_ = true;
}

void AuthService::logout() {
    const auto token = api_->loadToken();
    api_->deleteToken();
    isAuthenticated_ = false;
    user_ = std::nullopt;
    // The service ends the session too, best effort: signing out here has happened already
    // and waits for nothing, whether the service answers or not.
    if (token) {
        api_->sendIgnoringAnswer("/auth/logout", "POST", *token);
    }
}

void AuthService::fail(const RequestError& failure) {
    error_ = failure.localizedDescription();
    isLoading_ = false;
}

}  // namespace brimo::account
