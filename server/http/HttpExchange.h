#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "accounts/AccountService.h"

namespace brimo::server {

// One request as the connection layer hands it to a handler: read whole, within every limit,
// and free of the HTTP library.
struct HttpRequest {
    std::string method;
    std::string path;  // decoded, without the query
    std::vector<std::pair<std::string, std::string>> headers;
    // Query arguments, then the fields of an application/x-www-form-urlencoded body; decoded.
    std::vector<std::pair<std::string, std::string>> params;
    std::string body;
    std::string client;  // the peer's address, without its port
    bool tls = false;

    // The first header of that name (names compare without case), or empty.
    [[nodiscard]] std::string header(std::string_view name) const;
    // The first parameter of that name, or empty.
    [[nodiscard]] std::string param(std::string_view name) const;
};

struct HttpReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<HttpReply(const HttpRequest&)>;

// Where a route's requests are handled. Quick handlers (no store, no hashing) answer on the
// connection thread itself; store handlers run on the worker pool so the connection thread
// never waits; hashing handlers (a password hash each) have a queue and workers of their own
// and are admitted before they wait in it, so a burst of logins neither delays the store's
// requests nor waits longer than the hashers take to work it off.
enum class Lane { store, quick, hashing };

// A place among the requests admitted to the hashing lane, given back when the last copy goes;
// or the answer for a request refused one.
using LanePlace = std::shared_ptr<void>;
using LaneAdmission = std::function<std::variant<LanePlace, HttpReply>()>;

// A line of the route table; a hashing route has its admission.
struct Route {
    std::string method;
    std::string path;
    HttpHandler handler;
    Lane lane = Lane::store;
    LaneAdmission admit = {};
};

// The JSON answer for an account service reply, with Retry-After when it has one.
HttpReply jsonReply(const Reply& reply);
// An ErrorResponse with the text the service shows for that status.
HttpReply errorReply(int status);
std::string defaultErrorText(int status);

}  // namespace brimo::server
