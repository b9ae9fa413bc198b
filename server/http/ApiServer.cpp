#include "http/ApiServer.h"

#include "http/ApiRoutes.h"

namespace brimo::server {

ApiServer::ApiServer(AccountService& accounts, const ServerConfig& config, AccessLog& accessLog,
                     ErrorLog errorLog, GoogleSignIn& google)
    : http_(apiRoutes(accounts, google, config.trustedProxies), config, accessLog,
            std::move(errorLog)) {}

}  // namespace brimo::server
