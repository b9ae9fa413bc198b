#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace brimo::testing {

// Finds the top-level window a process maps on the X server of $DISPLAY: viewable, titled
// `title`, and owned by `pid` (_NET_WM_PID), so a window of an earlier run that is still going
// away is never taken for it. Windows that vanish while they are being looked at are skipped
// rather than ending the test, as xdotool would. Returns the window ID in decimal, or nothing
// when no such window appeared in time.
std::optional<std::string> waitForMappedWindow(pid_t pid, const std::string& title,
                                               std::chrono::milliseconds timeout);

}  // namespace brimo::testing
