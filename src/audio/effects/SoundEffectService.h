#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "audio/effects/SoundClip.h"
#include "audio/effects/SoundEffectPlayer.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/resources/ResourceBundle.h"

namespace brimo::audio {

// Plays "ON.wav" when the shift is switched on and "OFF.wav" when it is switched off, at
// volume 0.7 on the system's default output, independently of the engine. The sounds are
// loaded once; a missing one is reported at each request and otherwise ignored.
class SoundEffectService final : public SoundEffectPlayer {
  public:
    static constexpr float kVolume = 0.7F;

    struct Options {
        // Where finished clips are released; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // The application's resources unless given.
        std::optional<resources::ResourceBundle> resources;
        // Standard output unless given.
        console::LineWriter print;
    };

    explicit SoundEffectService(Options options);

    // The process-wide instance, made for `mainQueue` on first use (safely from any thread)
    // and never released; later calls return it whatever queue they name.
    static SoundEffectService& shared(dispatch::MainQueue& mainQueue);

    void playActivationSound() override;
    void playDeactivationSound() override;

    [[nodiscard]] SoundClip* onSound() const { return onSound_.get(); }
    [[nodiscard]] SoundClip* offSound() const { return offSound_.get(); }

  private:
    std::unique_ptr<SoundClip> loadSound(const resources::ResourceBundle& resources,
                                         dispatch::MainQueue& mainQueue, std::string_view name);
    void playSound(SoundClip* sound, std::string_view name, std::string_view operation);

    console::LineWriter print_;
    std::unique_ptr<SoundClip> onSound_;
    std::unique_ptr<SoundClip> offSound_;
};

}  // namespace brimo::audio
