#pragma once

namespace brimo::audio {

// The two clicks of the power button, as the audio manager asks for them.
class SoundEffectPlayer {
  public:
    SoundEffectPlayer() = default;
    virtual ~SoundEffectPlayer() = default;
    SoundEffectPlayer(const SoundEffectPlayer&) = delete;
    SoundEffectPlayer& operator=(const SoundEffectPlayer&) = delete;
    SoundEffectPlayer(SoundEffectPlayer&&) = delete;
    SoundEffectPlayer& operator=(SoundEffectPlayer&&) = delete;

    virtual void playActivationSound() = 0;
    virtual void playDeactivationSound() = 0;
};

}  // namespace brimo::audio
