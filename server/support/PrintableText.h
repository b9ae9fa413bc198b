#pragma once

#include <string>
#include <string_view>

namespace brimo::server {

// Outside text made safe for a terminal or a log line: every control character (C0, DEL and
// the C1 range's UTF-8 forms) is written as a visible escape, so a hostile text can neither
// forge a line nor send escape sequences to the operator's terminal.
std::string printable(std::string_view text);

}  // namespace brimo::server
