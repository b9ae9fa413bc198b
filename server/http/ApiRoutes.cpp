#include "http/ApiRoutes.h"

#include <strings.h>

#include <memory>
#include <utility>
#include <variant>

#include "accounts/ClientNetwork.h"
#include "http/JsonRequest.h"
#include "http/ResetPage.h"

namespace brimo::server {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPageSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'";

using Proxies = std::shared_ptr<const std::vector<std::string>>;

// The address the limits count a request under.
std::string clientOf(const HttpRequest& req, const Proxies& trustedProxies) {
    std::string forwarded;
    for (const auto& [name, value] : req.headers) {
        if (::strcasecmp(name.c_str(), "X-Forwarded-For") == 0) {
            forwarded += (forwarded.empty() ? "" : ",") + value;
        }
    }
    return clientAddress(req.client, forwarded, *trustedProxies);
}

HttpReply page(int status, const std::string& html) {
    HttpReply reply{status, kHtml, html, {}};
    reply.headers = {{"Content-Security-Policy", kPageSecurityPolicy},
                     {"Referrer-Policy", "no-referrer"},
                     {"X-Frame-Options", "DENY"}};
    return reply;
}

// The handlers that take a JSON object, with the fields it must carry.
using EmailHandler = Reply (AccountService::*)(const std::string&, const std::string&);
using CredentialHandler = Reply (AccountService::*)(const std::string&, const std::string&,
                                                    const std::string&);

HttpHandler emailRoute(AccountService& accounts, EmailHandler handler, const Proxies& proxies) {
    return [&accounts, handler, proxies](const HttpRequest& req) {
        auto body = parseJsonObject(req.header("Content-Type"), req.body);
        if (auto* reply = std::get_if<Reply>(&body)) {
            return jsonReply(*reply);
        }
        auto email = stringField(std::get<nlohmann::json>(body), "email");
        if (auto* reply = std::get_if<Reply>(&email)) {
            return jsonReply(*reply);
        }
        return jsonReply((accounts.*handler)(std::get<std::string>(email), clientOf(req, proxies)));
    };
}

HttpHandler credentialRoute(AccountService& accounts, CredentialHandler handler,
                            const Proxies& proxies) {
    return [&accounts, handler, proxies](const HttpRequest& req) {
        auto body = parseJsonObject(req.header("Content-Type"), req.body);
        if (auto* reply = std::get_if<Reply>(&body)) {
            return jsonReply(*reply);
        }
        const auto& object = std::get<nlohmann::json>(body);
        auto email = stringField(object, "email");
        if (auto* reply = std::get_if<Reply>(&email)) {
            return jsonReply(*reply);
        }
        auto password = stringField(object, "password");
        if (auto* reply = std::get_if<Reply>(&password)) {
            return jsonReply(*reply);
        }
        return jsonReply((accounts.*handler)(
            std::get<std::string>(email), std::get<std::string>(password), clientOf(req, proxies)));
    };
}

// Logins and registrations share the hashers' queue: a place in it, or the busy answer.
LaneAdmission admitToHash(AccountService& accounts) {
    return [&accounts]() -> std::variant<LanePlace, HttpReply> {
        auto admission = accounts.admitToHash();
        if (auto* busy = std::get_if<Reply>(&admission)) {
            return jsonReply(*busy);
        }
        return std::make_shared<PasswordHasher::Admission>(
            std::move(std::get<PasswordHasher::Admission>(admission)));
    };
}

HttpReply showResetPage(AccountService& accounts, const HttpRequest& req) {
    const std::string token = req.param("token");
    // Opening the page does not use the link up: mail scanners open links too.
    if (!accounts.isResetLinkValid(token)) {
        return page(400, resetInvalidPage());
    }
    return page(200, resetFormPage(token, ""));
}

HttpReply submitResetPage(AccountService& accounts, const HttpRequest& req,
                          const Proxies& proxies) {
    const std::string token = req.param("token");
    if (auto limited = accounts.limitClient(clientOf(req, proxies))) {
        auto reply = page(429, resetFormPage(token, texts::kTooManyAttempts));
        reply.headers.emplace_back("Retry-After", std::to_string(limited->retryAfterSeconds));
        return reply;
    }
    const std::string password = req.param("password");
    if (password != req.param("confirm")) {
        return page(400, resetFormPage(token, "The two passwords do not match."));
    }
    if (auto problem = accounts.resetPassword(token, password)) {
        if (*problem == texts::kResetLinkInvalid) {
            return page(400, resetInvalidPage());
        }
        return page(400, resetFormPage(token, *problem));
    }
    return page(200, resetDonePage());
}

HttpReply signInWithGoogle(GoogleSignIn& google, const HttpRequest& req, const Proxies& proxies) {
    auto body = parseJsonObject(req.header("Content-Type"), req.body);
    if (auto* reply = std::get_if<Reply>(&body)) {
        return jsonReply(*reply);
    }
    // The verifier has its own size limit, answered like every other refusal.
    auto idToken = stringField(std::get<nlohmann::json>(body), "idToken", req.body.size());
    if (auto* reply = std::get_if<Reply>(&idToken)) {
        return jsonReply(*reply);
    }
    return jsonReply(google.signIn(std::get<std::string>(idToken), clientOf(req, proxies)));
}

}  // namespace

std::vector<Route> apiRoutes(AccountService& accounts, GoogleSignIn& google,
                             std::vector<std::string> trustedProxies) {
    AccountService* a = &accounts;
    const auto proxies =
        std::make_shared<const std::vector<std::string>>(std::move(trustedProxies));
    return {
        {"POST", "/api/auth/check-email",
         emailRoute(accounts, &AccountService::checkEmail, proxies)},
        {"POST", "/api/auth/forgot-password",
         emailRoute(accounts, &AccountService::forgotPassword, proxies)},
        {"POST", "/api/auth/login", credentialRoute(accounts, &AccountService::login, proxies),
         Lane::hashing, admitToHash(accounts)},
        {"POST", "/api/auth/register",
         credentialRoute(accounts, &AccountService::registerAccount, proxies), Lane::hashing,
         admitToHash(accounts)},
        // Not quick: verifying a token may fetch the provider's keys.
        {"POST", "/api/auth/google",
         [&google, proxies](const HttpRequest& req) {
             return signInWithGoogle(google, req, proxies);
         }},
        {"POST", "/api/auth/logout",
         [a](const HttpRequest& req) { return jsonReply(a->logout(req.header("Authorization"))); }},
        {"GET", "/api/user/me",
         [a](const HttpRequest& req) {
             return jsonReply(a->currentUser(req.header("Authorization")));
         }},
        {"GET", "/api/app/version", [a](const HttpRequest&) { return jsonReply(a->version()); },
         Lane::quick},
        {"GET", "/api/health",
         [](const HttpRequest&) {
             return jsonReply(Reply{200, {{"status", "ok"}}, 0});
         },
         Lane::quick},
        {"GET", "/reset-password", [a](const HttpRequest& req) { return showResetPage(*a, req); }},
        {"POST", "/reset-password",
         [a, proxies](const HttpRequest& req) { return submitResetPage(*a, req, proxies); }},
    };
}

}  // namespace brimo::server
