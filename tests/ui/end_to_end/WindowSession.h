#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/ProcessRunner.h"
#include "ui/end_to_end/ApplicationProcess.h"
#include "ui/end_to_end/X11WindowFinder.h"

namespace brimo::testing {

// A command's standard output without its last line break; a failure is the test's.
inline std::string runCommand(const std::vector<std::string>& command) {
    const auto result = process::runProgram(command);
    EXPECT_EQ(result.exitStatus, 0) << command[0] << ": " << result.errorText;
    std::string output = result.output;
    while (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

inline std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only
    return value != nullptr ? value : "";
}

// The real application as a user runs it on the virtual X server: its window found, focused,
// clicked and pictured through the X server.
class WindowSession {
  public:
    // Starts the application (its output in `log`) and waits for its window.
    void launch(const std::filesystem::path& log) {
        app_ = std::make_unique<ApplicationProcess>(BRIMO_APPLICATION, log);
        // A start on a loaded machine (GStreamer's registry, the shaders) can take many seconds.
        const auto window =
            waitForMappedWindow(app_->pid(), "Brimola Vetrix", std::chrono::seconds(60));
        ASSERT_TRUE(window.has_value()) << "no window appeared\n" << app_->output();
        window_ = *window;
        // No window manager: the keyboard goes to the focused window, the pointer stays in it.
        runCommand({"xdotool", "windowfocus", "--sync", window_});
        runCommand({"xdotool", "mousemove", "--window", window_, "210", "20"});
    }
    void close() {
        app_.reset();
        window_.clear();
    }

    [[nodiscard]] ApplicationProcess& app() const { return *app_; }
    [[nodiscard]] bool isOpen() const { return app_ != nullptr && !window_.empty(); }
    [[nodiscard]] const std::string& window() const { return window_; }

    void click(int x, int y) const {
        runCommand({"xdotool", "mousemove", "--window", window_, std::to_string(x),
                    std::to_string(y), "click", "1"});
    }
    // A window still drawing its first frame is all black (a tiny PNG): tried again a while.
    void screenshot(const std::filesystem::path& path) const {
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            runCommand({"import", "-window", window_, path.string()});
            std::error_code error;
            if (std::filesystem::file_size(path, error) > 4096) {
                return;
            }
        }
    }

  private:
    std::unique_ptr<ApplicationProcess> app_;
    std::string window_;
};

}  // namespace brimo::testing
