#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "driver/AudioServer.h"
#include "support/FileText.h"

namespace brimo::testing {

// Remembers restart requests instead of touching the user's audio server.
class RecordingRestarter final : public driver::AudioServerRestarter {
  public:
    void restartForUserSession(driver::AudioServerKind kind) override { restarts.push_back(kind); }
    std::vector<driver::AudioServerKind> restarts;
};

// A copy of the shipped driver bundle under `resourcesRoot`/AudioDriver.
inline void copyShippedBundle(const std::filesystem::path& resourcesRoot) {
    const std::filesystem::path shipped =
        std::filesystem::path(BRIMO_SOURCE_RESOURCES_DIR) / "AudioDriver";
    std::filesystem::create_directories(resourcesRoot / "AudioDriver");
    std::filesystem::copy(shipped, resourcesRoot / "AudioDriver",
                          std::filesystem::copy_options::recursive);
}

}  // namespace brimo::testing
