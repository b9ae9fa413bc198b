#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimo::privileged {

// The text as one word of a POSIX shell command, taken literally: wrapped in single quotes,
// each single quote inside written as '\'' . Nothing is nullopt: a shell word cannot hold a
// NUL byte, so such text is refused rather than cut short.
std::optional<std::string> shellQuoted(std::string_view text);

}  // namespace brimo::privileged
