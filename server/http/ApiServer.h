#pragma once

#include <functional>
#include <string>

#include "accounts/AccountService.h"
#include "config/ServerConfig.h"
#include "google/GoogleSignIn.h"
#include "http/AccessLog.h"
#include "http/HttpServer.h"

namespace brimo::server {

// The HTTP face of the service: the route table of http/ApiRoutes.cpp served by the
// connection layer. Every answer of 400 or more carries an ErrorResponse body.
class ApiServer {
  public:
    using ErrorLog = HttpServer::ErrorLog;

    // HTTPS when the configuration names a certificate and key.
    ApiServer(AccountService& accounts, const ServerConfig& config, AccessLog& accessLog,
              ErrorLog errorLog, GoogleSignIn& google);

    // Binds the configured address (port 0: any free port) and returns the port.
    int bind() { return http_.bind(); }
    // Serves until stop() is called from another thread; false if serving failed.
    bool run() { return http_.run(); }
    // Safe from any thread at any time, also before run() has begun (run then returns at once).
    void stop() { http_.stop(); }

  private:
    HttpServer http_;
};

}  // namespace brimo::server
