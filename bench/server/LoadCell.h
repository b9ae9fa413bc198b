#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace brimo::bench {

struct LoadCell {
    // Client c talks to ports[c % ports.size()] (round robin over instances).
    std::vector<int> ports;
    // "user/me" (with the client's session) or "login" (with its password).
    std::string endpoint;
    unsigned clients = 1;
    double seconds = 3;
    // A request with no answer within this is a time-out (the application's client waits 30 s).
    double timeoutSeconds = 30;
};

// Runs `cell.clients` threads, each with its own keep-alive connection and account (client c is
// bench<c>@example.com with tokens[c]), sending requests one after another for `cell.seconds`;
// a client answered 503 waits the Retry-After it was given, as a user told to try again in a
// few seconds would, before its next request. Returns the figures: 200s, 503s and other
// statuses apart, time-outs and transport failures counted, latencies in milliseconds.
nlohmann::json runLoadCell(const LoadCell& cell, const std::vector<std::string>& tokens);

}  // namespace brimo::bench
