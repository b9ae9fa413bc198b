#include "audio/effects/SoundEffectService.h"

#include <string>

#include "platform/text/LogFormat.h"

namespace brimo::audio {
namespace {

const std::string kPrefix = "[SoundEffect] ";

}  // namespace

SoundEffectService::SoundEffectService(Options options)
    : print_(console::orStandardOutput(std::move(options.print))) {
    const auto resources =
        options.resources ? std::move(*options.resources) : resources::ResourceBundle::main();
    onSound_ = loadSound(resources, *options.mainQueue, "ON");
    offSound_ = loadSound(resources, *options.mainQueue, "OFF");
}

SoundEffectService& SoundEffectService::shared(dispatch::MainQueue& mainQueue) {
    // Never released: a sound may still be playing while the process ends.
    static auto* instance = new SoundEffectService(Options{&mainQueue, std::nullopt, {}});
    return *instance;
}

std::unique_ptr<SoundClip> SoundEffectService::loadSound(const resources::ResourceBundle& resources,
                                                         dispatch::MainQueue& mainQueue,
                                                         std::string_view name) {
    const std::string fileName = std::string(name) + ".wav";
    const auto path = resources.pathForResource(name, "wav");
    if (!path) {
        print_(kPrefix + "❌ " + fileName + " not found in bundle");
        return nullptr;
    }
    auto sound = SoundClip::load(*path, mainQueue);
    if (sound) {
        sound->setVolume(kVolume);
    }
    print_(kPrefix + "✅ Loaded " + fileName + " from: " + path->string());
    return sound;
}

void SoundEffectService::playActivationSound() {
    playSound(onSound_.get(), "ON", "playActivationSound()");
}

void SoundEffectService::playDeactivationSound() {
    playSound(offSound_.get(), "OFF", "playDeactivationSound()");
}

void SoundEffectService::playSound(SoundClip* sound, std::string_view name,
                                   std::string_view operation) {
    print_(kPrefix + "🔊 " + std::string(operation) + " called");
    if (sound == nullptr) {
        print_(kPrefix + "❌ " + std::string(name) + " sound not loaded");
        return;
    }
    // A quick second press restarts the click from its beginning.
    if (sound->isPlaying()) {
        sound->stop();
    }
    const bool started = sound->play();
    print_(kPrefix + "🔊 " + std::string(name) + " sound play result: " + text::formatBool(started));
}

}  // namespace brimo::audio
