#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "accounts/AccountService.h"
#include "config/ServerConfig.h"
#include "google/GoogleSignIn.h"
#include "http/AccessLog.h"

namespace httplib {
class Server;
}  // namespace httplib

namespace brimo::server {

// The HTTP face of the service: the API under "/api", the reset page under "/reset-password".
// Every answer of 400 or more, the library's own included, carries an ErrorResponse body.
class ApiServer {
  public:
    using ErrorLog = std::function<void(const std::string&)>;

    // HTTPS when the configuration names a certificate and key.
    ApiServer(AccountService& accounts, const ServerConfig& config, AccessLog& accessLog,
              ErrorLog errorLog, GoogleSignIn& google);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Binds the configured address (port 0: any free port) and returns the port.
    int bind();
    // Serves until stop() is called from another thread; false if serving failed.
    bool run();
    // Safe from any thread at any time, also before run() has begun (run then returns at once).
    void stop();

  private:
    void addRoutes();

    AccountService& accounts_;
    GoogleSignIn& google_;
    const ServerConfig& config_;
    AccessLog& accessLog_;
    ErrorLog errorLog_;
    std::unique_ptr<httplib::Server> http_;
    int listeningSocket_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> runEntered_{false};
    std::atomic<bool> runExited_{false};
};

}  // namespace brimo::server
