#include "http/ApiServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "accounts/ClientNetwork.h"
#include "http/JsonRequest.h"
#include "http/ResetPage.h"

namespace brimo::server {
namespace {

constexpr const char* kJson = "application/json";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPageSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'";

thread_local std::chrono::steady_clock::time_point requestStart;

void send(httplib::Response& res, const Reply& reply) {
    res.status = reply.status;
    if (reply.retryAfterSeconds > 0) {
        res.set_header("Retry-After", std::to_string(reply.retryAfterSeconds));
    }
    res.set_content(reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    kJson);
}

std::string defaultErrorText(int status) {
    switch (status) {
        case 400:
            return "The request is malformed.";
        case 401:
            return texts::kSessionInvalid;
        case 404:
            return "There is nothing at this address.";
        case 405:
            return "This method is not allowed here.";
        case 413:
            return "The request body is too large.";
        case 414:
            return "The request address is too long.";
        case 415:
            return "Requests must be sent as application/json.";
        case 429:
            return texts::kTooManyAttempts;
        case 501:
            return "This is not implemented.";
        case 503:
            return texts::kUnavailable;
        default:
            return status >= 500 ? "Something went wrong on our side. Please try again later."
                                 : "The request cannot be served.";
    }
}

void sendPage(httplib::Response& res, int status, const std::string& html) {
    res.status = status;
    res.set_header("Content-Security-Policy", kPageSecurityPolicy);
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(html, kHtml);
}

}  // namespace

ApiServer::ApiServer(AccountService& accounts, const ServerConfig& config, AccessLog& accessLog,
                     ErrorLog errorLog)
    : accounts_(accounts), config_(config), accessLog_(accessLog), errorLog_(std::move(errorLog)) {
    if (config_.tls.enabled()) {
        auto secure = std::make_unique<httplib::SSLServer>(config_.tls.certificate.c_str(),
                                                           config_.tls.key.c_str());
        if (!secure->is_valid()) {
            throw std::runtime_error("cannot load the TLS certificate " +
                                     config_.tls.certificate.string() + " and key " +
                                     config_.tls.key.string());
        }
        http_ = std::move(secure);
    } else {
        http_ = std::make_unique<httplib::Server>();
    }
    const unsigned threads = config_.threads;
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // The library's default adds SO_REUSEPORT, which would let a second instance share the
    // port silently instead of failing to start. The last socket seen here is the one that
    // bound: bind() widens its backlog.
    http_->set_socket_options([this](int socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listeningSocket_ = socket;
    });
    // The library writes an answer's headers and body separately: with Nagle's algorithm the
    // body would wait for the client's delayed acknowledgement, some 40 ms on every answer.
    http_->set_tcp_nodelay(true);
    http_->set_payload_max_length(config_.bodyLimitBytes);
    http_->set_keep_alive_max_count(1000);
    http_->set_keep_alive_timeout(5);
    http_->set_read_timeout(10);
    http_->set_write_timeout(10);
    addRoutes();
}

ApiServer::~ApiServer() = default;

int ApiServer::bind() {
    int port = config_.listenPort;
    if (port == 0) {
        port = http_->bind_to_any_port(config_.listenHost);
        if (port <= 0) {
            throw std::runtime_error("cannot listen on " + config_.listenHost);
        }
    } else if (!http_->bind_to_port(config_.listenHost, config_.listenPort)) {
        throw std::runtime_error("cannot listen on " + config_.listenHost + ":" +
                                 std::to_string(config_.listenPort) +
                                 " (in use, or not an address of this machine)");
    }
    // The library listens with a backlog of 5: a burst of new connections (every client
    // coming back after a restart) overflows it, and each dropped handshake waits a second or
    // more for its retry. Listening again only raises the limit, up to the system's.
    if (::listen(listeningSocket_, SOMAXCONN) != 0) {
        throw std::runtime_error("cannot listen on " + config_.listenHost + ":" +
                                 std::to_string(port));
    }
    return port;
}

bool ApiServer::run() {
    runEntered_ = true;
    if (stopRequested_) {
        runExited_ = true;
        return true;
    }
    const bool served = http_->listen_after_bind();
    runExited_ = true;
    return served;
}

void ApiServer::stop() {
    stopRequested_ = true;
    // The library ignores a stop that arrives before its loop has started: wait for the loop
    // when run() is already on its way into it. (Both flags are sequentially consistent, so
    // either this sees runEntered_ or run() sees stopRequested_.)
    while (runEntered_ && !runExited_ && !http_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    http_->stop();
}

void ApiServer::addRoutes() {
    auto& h = *http_;
    // The address the limits count a request under.
    auto clientOf = [this](const httplib::Request& req) {
        std::string forwarded;
        for (std::size_t i = 0; i < req.get_header_value_count("X-Forwarded-For"); ++i) {
            forwarded += (i == 0 ? "" : ",") + req.get_header_value("X-Forwarded-For", i);
        }
        return clientAddress(req.remote_addr, forwarded, config_.trustedProxies);
    };

    h.set_pre_routing_handler([](const httplib::Request&, httplib::Response& res) {
        requestStart = std::chrono::steady_clock::now();
        // API answers carry tokens and account data: never cached.
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        return httplib::Server::HandlerResponse::Unhandled;
    });

    h.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) {
                send(res, Reply{res.status, errorBody(defaultErrorText(res.status)), 0});
            }
            return httplib::Server::HandlerResponse::Handled;
        }));

    h.set_exception_handler(
        [this](const httplib::Request& req, httplib::Response& res, std::exception_ptr failure) {
            int status = 500;
            std::string what = "unknown failure";
            try {
                std::rethrow_exception(std::move(failure));
            } catch (const StoreUnavailable& e) {
                status = 503;
                what = e.what();
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {  // NOLINT(bugprone-empty-catch): the answer below reports it
            }
            errorLog_(req.method + " " + req.path + ": " + what);
            send(res, Reply{status, errorBody(defaultErrorText(status)), 0});
        });

    h.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        // A request the library refused before routing has no start time: -1 says so.
        const bool timed = requestStart != std::chrono::steady_clock::time_point{};
        const double ms = timed ? std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - requestStart)
                                      .count()
                                : -1.0;
        requestStart = {};
        accessLog_.write(req.remote_addr, req.method, req.path, res.status, ms, res.body.size());
    });

    // The handlers that take a JSON object, with the fields it must carry.
    using EmailHandler = Reply (AccountService::*)(const std::string&, const std::string&);
    using CredentialHandler =
        Reply (AccountService::*)(const std::string&, const std::string&, const std::string&);
    auto emailRoute = [this, clientOf](EmailHandler handler) {
        return [this, handler, clientOf](const httplib::Request& req, httplib::Response& res) {
            auto body = parseJsonObject(req.get_header_value("Content-Type"), req.body);
            if (auto* reply = std::get_if<Reply>(&body)) {
                return send(res, *reply);
            }
            auto email = stringField(std::get<nlohmann::json>(body), "email");
            if (auto* reply = std::get_if<Reply>(&email)) {
                return send(res, *reply);
            }
            send(res, (accounts_.*handler)(std::get<std::string>(email), clientOf(req)));
        };
    };
    auto credentialRoute = [this, clientOf](CredentialHandler handler) {
        return [this, handler, clientOf](const httplib::Request& req, httplib::Response& res) {
            auto body = parseJsonObject(req.get_header_value("Content-Type"), req.body);
            if (auto* reply = std::get_if<Reply>(&body)) {
                return send(res, *reply);
            }
            const auto& object = std::get<nlohmann::json>(body);
            auto email = stringField(object, "email");
            if (auto* reply = std::get_if<Reply>(&email)) {
                return send(res, *reply);
            }
            auto password = stringField(object, "password");
            if (auto* reply = std::get_if<Reply>(&password)) {
                return send(res, *reply);
            }
            send(res, (accounts_.*handler)(std::get<std::string>(email),
                                           std::get<std::string>(password), clientOf(req)));
        };
    };

    h.Post("/api/auth/check-email", emailRoute(&AccountService::checkEmail));
    h.Post("/api/auth/forgot-password", emailRoute(&AccountService::forgotPassword));
    h.Post("/api/auth/login", credentialRoute(&AccountService::login));
    h.Post("/api/auth/register", credentialRoute(&AccountService::registerAccount));
    h.Post("/api/auth/google", [](const httplib::Request&, httplib::Response& res) {
        send(res, Reply{501, errorBody(texts::kGoogleUnavailable), 0});
    });
    h.Post("/api/auth/logout", [this](const httplib::Request& req, httplib::Response& res) {
        send(res, accounts_.logout(req.get_header_value("Authorization")));
    });
    h.Get("/api/user/me", [this](const httplib::Request& req, httplib::Response& res) {
        send(res, accounts_.currentUser(req.get_header_value("Authorization")));
    });
    h.Get("/api/app/version", [this](const httplib::Request&, httplib::Response& res) {
        send(res, accounts_.version());
    });
    h.Get("/api/health", [](const httplib::Request&, httplib::Response& res) {
        send(res, Reply{200, {{"status", "ok"}}, 0});
    });

    h.Get("/reset-password", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string token = req.get_param_value("token");
        // Opening the page does not use the link up: mail scanners open links too.
        if (!accounts_.isResetLinkValid(token)) {
            return sendPage(res, 400, resetInvalidPage());
        }
        sendPage(res, 200, resetFormPage(token, ""));
    });
    h.Post(
        "/reset-password", [this, clientOf](const httplib::Request& req, httplib::Response& res) {
            if (auto limited = accounts_.limitClient(clientOf(req))) {
                res.set_header("Retry-After", std::to_string(limited->retryAfterSeconds));
                return sendPage(
                    res, 429, resetFormPage(req.get_param_value("token"), texts::kTooManyAttempts));
            }
            const std::string token = req.get_param_value("token");
            const std::string password = req.get_param_value("password");
            if (password != req.get_param_value("confirm")) {
                return sendPage(res, 400, resetFormPage(token, "The two passwords do not match."));
            }
            if (auto problem = accounts_.resetPassword(token, password)) {
                if (*problem == texts::kResetLinkInvalid) {
                    return sendPage(res, 400, resetInvalidPage());
                }
                return sendPage(res, 400, resetFormPage(token, *problem));
            }
            sendPage(res, 200, resetDonePage());
        });
}

}  // namespace brimo::server
