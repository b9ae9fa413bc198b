#include "ui/lifecycle/guard/GuardState.h"

namespace brimo::ui::guard {

void GuardState::apply(std::string_view line) {
    constexpr std::string_view kOutput = "output ";
    if (line == "quit") {
        quitCleanly = true;
    } else if (line.starts_with(kOutput)) {
        outputUid = line.substr(kOutput.size());
    }
}

}  // namespace brimo::ui::guard
