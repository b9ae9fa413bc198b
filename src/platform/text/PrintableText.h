#pragma once

#include <string>
#include <string_view>

namespace brimo::text {

// Outside text (a server's version or error text, a request line) made safe for a console or a
// log line: every control character (C0, DEL, and C1 in its UTF-8 form) is written as a visible
// \xNN or \u00NN escape, so no escape sequence reaches the terminal and no line can be forged.
// The application and the account web service both print through it.
std::string printable(std::string_view text);

}  // namespace brimo::text
