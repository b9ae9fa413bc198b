#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "audio/devices/AudioDevice.h"
#include "audio/devices/AudioDeviceService.h"

namespace brimo::audio {

// Never leaves the computer silent: with the application gone nothing plays what reaches
// "Brimola Vetrix". So at quit, while the virtual device is the system output, the output moves
// to the real device the engine was playing to, and a small record says so; the next start
// moves it back, if the output is still where the quit put it (a choice the user made in the
// meantime stands). One diagnostic-log line each.
class SystemOutputRestorer {
  public:
    static constexpr const char* kRecordName = "moved-system-output";

    struct Options {
        // The folder of the record (the application's XDG state folder).
        std::filesystem::path stateDirectory;
        std::function<void(std::string_view)> log;
    };

    SystemOutputRestorer(AudioDeviceService& devices, Options options);

    // At start, before the manager's first refresh. True when the output moved back.
    bool restoreAfterStart();

    // At quit. `playbackDevice`: the real output the engine was playing to. True when the
    // output moved (and the move is recorded).
    bool handBackBeforeQuit(const std::optional<AudioDevice>& playbackDevice);

    [[nodiscard]] std::filesystem::path recordPath() const;

  private:
    AudioDeviceService& devices_;
    Options options_;
};

}  // namespace brimo::audio
