#pragma once

#include <cstdint>
#include <string_view>

namespace brimo::server {

// How many seconds an answer may be used by its Cache-Control header: its max-age, 0 for
// no-store, no-cache or no usable max-age.
std::int64_t cacheLifetimeSeconds(std::string_view cacheControl);

}  // namespace brimo::server
