#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/AudioUnit.h"

namespace brimo::hal::test {

inline AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <typename T>
OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& where, T& value) {
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

inline std::vector<AudioObjectID> deviceList() {
    const auto where = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size) !=
        noErr) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

// The frequency of a steady tone from its rising zero crossings, interpolated between samples.
inline double toneFrequency(const std::vector<float>& samples, double sampleRate) {
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0F && samples[i] >= 0.0F) {
            const double fraction = samples[i - 1] / (samples[i - 1] - samples[i]);
            const double at = static_cast<double>(i - 1) + fraction;
            if (crossings == 0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) * sampleRate / (last - first);
}

inline double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

inline std::vector<float> slice(const std::vector<float>& samples, std::size_t from,
                                std::size_t count) {
    return {samples.begin() + static_cast<std::ptrdiff_t>(from),
            samples.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

inline AudioComponent halOutputComponent() {
    const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                      kAudioUnitManufacturer_Apple, 0, 0};
    return AudioComponentFindNext(nullptr, &d);
}

}  // namespace brimo::hal::test
