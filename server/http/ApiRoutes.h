#pragma once

#include <vector>

#include "accounts/AccountService.h"
#include "google/GoogleSignIn.h"
#include "http/HttpExchange.h"

namespace brimo::server {

// The service's route table: the API under "/api" and the reset page. A new endpoint is one
// more line here.
std::vector<Route> apiRoutes(AccountService& accounts, GoogleSignIn& google);

}  // namespace brimo::server
