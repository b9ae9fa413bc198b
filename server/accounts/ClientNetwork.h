#pragma once

#include <string>
#include <vector>

namespace brimo::server {

// The key a client's limits are counted by: an IPv4 address as it is; an IPv6 address by its
// /64, the block one subscriber is given, so the addresses of one network count as one client
// (an IPv4 address mapped into IPv6 counts as IPv4). Anything else is kept as it is.
std::string clientNetwork(const std::string& remoteAddress);

// The client's address of a request that came from `peer`. When the peer is one of
// `trustedProxies`, the client is the last address in the X-Forwarded-For value (all such
// headers joined by commas) that is not itself a trusted proxy; addresses a client wrote there
// itself stand before it and are never taken; an entry that is no address gives the peer.
// From any other peer the header is ignored.
std::string clientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trustedProxies);

}  // namespace brimo::server
