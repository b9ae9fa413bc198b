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

// `writer`, or printLine when it is empty.
LineWriter orStandardOutput(LineWriter writer);

}  // namespace brimo::console
