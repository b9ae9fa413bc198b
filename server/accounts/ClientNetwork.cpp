#include "accounts/ClientNetwork.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace brimo::server {

std::string clientNetwork(const std::string& remoteAddress) {
    std::array<unsigned char, 16> v6{};
    if (::inet_pton(AF_INET6, remoteAddress.c_str(), v6.data()) != 1) {
        return remoteAddress;
    }
    constexpr std::array<unsigned char, 12> mappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (std::memcmp(v6.data(), mappedPrefix.data(), mappedPrefix.size()) == 0) {
        ::inet_ntop(AF_INET, v6.data() + mappedPrefix.size(), text.data(), text.size());
        return text.data();
    }
    std::fill(v6.begin() + 8, v6.end(), 0);
    ::inet_ntop(AF_INET6, v6.data(), text.data(), text.size());
    return std::string(text.data()) + "/64";
}

std::string clientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trustedProxies) {
    auto trusted = [&](std::string_view address) {
        return std::find(trustedProxies.begin(), trustedProxies.end(), address) !=
               trustedProxies.end();
    };
    if (!trusted(peer)) {
        return peer;
    }
    std::string_view rest(forwardedFor);
    while (!rest.empty()) {
        const auto comma = rest.rfind(',');
        std::string_view entry = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
        while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) {
            entry.remove_prefix(1);
        }
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) {
            entry.remove_suffix(1);
        }
        if (entry.empty() || trusted(entry)) {
            continue;
        }
        // Anything but an address (a proxy that passed on what a client wrote) counts as the
        // proxy itself rather than as a key the client chose.
        std::string address(entry);
        std::array<unsigned char, 16> parsed{};
        if (::inet_pton(AF_INET, address.c_str(), parsed.data()) != 1 &&
            ::inet_pton(AF_INET6, address.c_str(), parsed.data()) != 1) {
            return peer;
        }
        return address;
    }
    return peer;
}

}  // namespace brimo::server
