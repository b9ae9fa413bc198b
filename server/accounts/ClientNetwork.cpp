#include "accounts/ClientNetwork.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

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

}  // namespace brimo::server
