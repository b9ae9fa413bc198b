#pragma once

#include <cstddef>
#include <string_view>

namespace brimo::ui::signin {

// The shortest password the register step accepts, in user-perceived characters.
inline constexpr std::size_t minimumPasswordLength = 8;

// How many user-perceived characters (extended grapheme clusters) the UTF-8 text holds: "é"
// typed as one code point or as "e" and a combining accent is one, so is a flag or a family
// emoji. Malformed bytes count one each.
std::size_t userPerceivedLength(std::string_view utf8);

}  // namespace brimo::ui::signin
