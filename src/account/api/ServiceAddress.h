#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "account/api/APIError.h"

namespace brimo::account {

// A request address that may be used: HTTPS anywhere, plain HTTP only to the loopback
// interface (127.0.0.0/8, ::1, localhost), where nothing crosses a network.
struct ServiceAddress {
    std::string url;
};

// `text` as an address, or invalidURL when it does not parse as an absolute http(s) URL, or a
// secureConnectionRequired transport error for plain HTTP to any other host.
std::variant<ServiceAddress, RequestError> checkServiceAddress(std::string_view text);

// Whether `text` is an absolute http or https URL with a host (for addresses handed to a browser).
bool isWebAddress(std::string_view text);

}  // namespace brimo::account
