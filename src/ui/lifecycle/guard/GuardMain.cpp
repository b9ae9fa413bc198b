// brimolavetrix-guard: started by the application with one end of a socket as its standard
// input. It reads what the application tells it until the socket closes; if the application
// went without saying it quits, the system output moves from "Brimola Vetrix" back to the real
// output it was playing to (unless the user has chosen another one meanwhile), exactly as a
// clean quit moves it, and the guard exits.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <string>

#include "audio/devices/AudioDeviceService.h"
#include "audio/manager/SystemOutputRestorer.h"
#include "platform/dispatch/EventLoopMainQueue.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "platform/paths/UserDirectories.h"
#include "ui/lifecycle/guard/GuardState.h"

namespace {

brimo::ui::guard::GuardState readUntilClosed() {
    brimo::ui::guard::GuardState state;
    std::string pending;
    std::array<char, 512> buffer{};
    while (true) {
        const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return state;
        }
        pending.append(buffer.data(), static_cast<size_t>(count));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            state.apply(std::string_view(pending).substr(0, end));
            pending.erase(0, end + 1);
        }
    }
}

}  // namespace

int main() {
    const auto state = readUntilClosed();
    if (!state.mustRestore()) {
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    auto print = [](std::string_view line) { std::cout << line << std::endl; };
    print("⚠️ [GUARD] Brimolavetrix ended without quitting; checking the system output");

    brimo::hal::pulse::PulseAudioBackendOptions options;
    options.applicationName = "Brimolavetrix guard";
    options.defaultsCheckInterval = std::chrono::milliseconds(0);
    const brimo::hal::ScopedAudioHardwareBackend backend(
        brimo::hal::pulse::PulseAudioBackend::create(options));
    brimo::dispatch::EventLoopMainQueue mainQueue;
    brimo::audio::AudioDeviceService devices({&mainQueue, [](std::string_view) {}});

    std::optional<brimo::audio::AudioDevice> output;
    for (const auto& device : devices.getAllDevices()) {
        if (device.uid == state.outputUid && device.isOutput) {
            output = device;
        }
    }
    const auto stateDirectory = brimo::paths::stateDirectory();
    brimo::audio::SystemOutputRestorer restorer(
        devices,
        {stateDirectory.empty() ? stateDirectory : stateDirectory / "brimolavetrix", print});
    const bool moved = restorer.handBackBeforeQuit(output);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    print(moved ? "🔊 [GUARD] Done in " + std::to_string(elapsed.count()) + " ms"
                : "🔊 [GUARD] Nothing to hand back (the system output is not on Brimola Vetrix)");
    return 0;
}
