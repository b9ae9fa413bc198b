#include "platform/console/ConsoleOutput.h"

#include <cstdio>
#include <string>

namespace brimo::console {

void printLine(std::string_view line) {
    std::string whole(line);
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

LineWriter orStandardOutput(LineWriter writer) {
    return writer ? std::move(writer) : LineWriter(&printLine);
}

}  // namespace brimo::console
