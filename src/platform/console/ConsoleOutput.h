#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace brimo::console {

// Where a service prints its plain progress lines. Services take one so that tests can read
// the lines; the default is standard output.
using LineWriter = std::function<void(std::string_view line)>;

// Writes the line and a line feed to standard output in one piece and flushes it.
void printLine(std::string_view line);

// Outside text (a server's version or error text) made safe for a console line: every control
// character (C0, DEL, and C1 in its UTF-8 form) is written as a visible \xNN or \u00NN
// escape, so no escape sequence reaches the terminal and no line can be forged.
std::string printable(std::string_view text);

// `writer`, or printLine when it is empty.
LineWriter orStandardOutput(LineWriter writer);

}  // namespace brimo::console
