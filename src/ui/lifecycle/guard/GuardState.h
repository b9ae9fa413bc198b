#pragma once

#include <string>
#include <string_view>

namespace brimo::ui::guard {

// What the application has told its guard so far, line by line.
struct GuardState {
    std::string outputUid;  // the real output it plays to; empty: none
    bool quitCleanly = false;

    // One line without its line break; unknown lines are ignored.
    void apply(std::string_view line);

    // Whether the application's end, now, leaves something to hand back.
    [[nodiscard]] bool mustRestore() const { return !quitCleanly && !outputUid.empty(); }
};

}  // namespace brimo::ui::guard
