#include "driver/AudioServer.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/process/ProcessRunner.h"

namespace brimo::driver {

const AudioServerConfiguration& pipewireConfiguration() {
    static const AudioServerConfiguration configuration{
        AudioServerKind::pipewire,
        "Contents/Resources/pipewire.conf.d/brimolavetrix.conf",
        "pipewire/pipewire.conf.d",
        {"pipewire.service", "pipewire-pulse.service"}};
    return configuration;
}

const AudioServerConfiguration& pulseaudioConfiguration() {
    static const AudioServerConfiguration configuration{
        AudioServerKind::pulseaudio,
        "Contents/Resources/default.pa.d/brimolavetrix.pa",
        "pulse/default.pa.d",
        {"pulseaudio.service"}};
    return configuration;
}

std::vector<AudioServerConfiguration> configurationsFor(AudioServerKind kind) {
    switch (kind) {
        case AudioServerKind::pipewire:
            return {pipewireConfiguration()};
        case AudioServerKind::pulseaudio:
            return {pulseaudioConfiguration()};
        case AudioServerKind::unknown:
            break;
    }
    return {pipewireConfiguration(), pulseaudioConfiguration()};
}

AudioServerKind detectAudioServer(const std::filesystem::path& runtimeDirectory) {
    std::error_code error;
    if (!runtimeDirectory.empty()) {
        if (std::filesystem::is_socket(runtimeDirectory / "pipewire-0", error)) {
            return AudioServerKind::pipewire;
        }
        if (std::filesystem::is_socket(runtimeDirectory / "pulse" / "native", error)) {
            return AudioServerKind::pulseaudio;
        }
    }
    return AudioServerKind::unknown;
}

std::filesystem::path userRuntimeDirectory() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read-only use
    if (const char* directory = std::getenv("XDG_RUNTIME_DIR");
        directory != nullptr && *directory != '\0') {
        return directory;
    }
    return std::filesystem::path("/run/user") / std::to_string(getuid());
}

void SystemdUserRestarter::restartForUserSession(AudioServerKind kind) {
    for (const auto& configuration : configurationsFor(kind)) {
        for (const auto& unit : configuration.userUnits) {
            process::runProgram({"systemctl", "--user", "--no-block", "try-restart", unit});
        }
    }
}

}  // namespace brimo::driver
