#pragma once

#include <string>

namespace brimo::server {

// The key a client's limits are counted by: an IPv4 address as it is; an IPv6 address by its
// /64, the block one subscriber is given, so the addresses of one network count as one client
// (an IPv4 address mapped into IPv6 counts as IPv4). Anything else is kept as it is.
std::string clientNetwork(const std::string& remoteAddress);

}  // namespace brimo::server
