#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace brimo::driver {

// The desktop audio servers the virtual device can be declared to. Each reads drop-in files
// from a system-wide folder when it starts; the driver bundle carries one file for each.
enum class AudioServerKind { pipewire, pulseaudio, unknown };

// One server's drop-in: where the file lies inside the driver bundle, and where the server
// looks for it (relative to the system configuration folder, normally /etc).
struct AudioServerConfiguration {
    AudioServerKind kind;
    std::filesystem::path fileInBundle;
    std::filesystem::path folderInConfigurationRoot;
    // The user units that run the server, restarted after an installation.
    std::vector<std::string> userUnits;
};

const AudioServerConfiguration& pipewireConfiguration();
const AudioServerConfiguration& pulseaudioConfiguration();

// The configurations to activate for a server: its own, or both when it is not known.
std::vector<AudioServerConfiguration> configurationsFor(AudioServerKind kind);

// Which server the user's session runs, told by the sockets in its runtime folder: PipeWire's
// own socket first (its PulseAudio-compatible server also opens pulse/native).
AudioServerKind detectAudioServer(const std::filesystem::path& runtimeDirectory);

// $XDG_RUNTIME_DIR, else /run/user/<uid>.
std::filesystem::path userRuntimeDirectory();

// Restarts the audio server of the user's session so that it reads its configuration again.
class AudioServerRestarter {
  public:
    AudioServerRestarter() = default;
    virtual ~AudioServerRestarter() = default;
    AudioServerRestarter(const AudioServerRestarter&) = delete;
    AudioServerRestarter& operator=(const AudioServerRestarter&) = delete;
    AudioServerRestarter(AudioServerRestarter&&) = delete;
    AudioServerRestarter& operator=(AudioServerRestarter&&) = delete;

    // Asks for the restart without waiting for it; failures are not reported (a server that is
    // not running reads the configuration when it next starts).
    virtual void restartForUserSession(AudioServerKind kind) = 0;
};

// Through the user's systemd instance: `systemctl --user --no-block try-restart <unit>` for
// each unit of the server, so units that are not running are left alone.
class SystemdUserRestarter final : public AudioServerRestarter {
  public:
    void restartForUserSession(AudioServerKind kind) override;
};

}  // namespace brimo::driver
