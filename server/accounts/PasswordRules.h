#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimo::server {

inline constexpr std::size_t kMinimumPasswordCharacters = 8;
inline constexpr std::size_t kMaximumPasswordBytes = 1024;

// The text to show when a new password is refused, or none when it is acceptable.
// Characters are counted as Unicode code points of the UTF-8 text.
std::optional<std::string> newPasswordProblem(std::string_view password);

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace brimo::server
