#pragma once

#include <string>
#include <vector>

#include "accounts/AccountService.h"
#include "google/GoogleSignIn.h"
#include "http/HttpExchange.h"

namespace brimo::server {

// The service's route table: the API under "/api" and the reset page. A new endpoint is one
// more line here. Behind one of `trustedProxies` the limits count the client that the proxy
// names in X-Forwarded-For.
std::vector<Route> apiRoutes(AccountService& accounts, GoogleSignIn& google,
                             std::vector<std::string> trustedProxies);

}  // namespace brimo::server
