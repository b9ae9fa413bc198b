#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace brimo::audio {

// One audio device as read from the hardware layer: an immutable value. Lists and pickers
// identify a device by `id` alone; equality compares every field, so the records of one device
// before and after a rename differ.
struct AudioDevice {
    std::uint32_t id = 0;
    std::string name;
    std::string uid;
    bool isInput = false;
    bool isOutput = false;

    friend bool operator==(const AudioDevice&, const AudioDevice&) = default;

    // The system's own virtual loopback device ("Brimola Vetrix", "brimolavetrix", ...).
    [[nodiscard]] bool isBrimolavetrix() const;
    // A BlackHole loopback device, accepted in place of the system's own.
    [[nodiscard]] bool isBlackHole() const;
    [[nodiscard]] bool isVirtualLoopback() const { return isBrimolavetrix() || isBlackHole(); }
};

}  // namespace brimo::audio

template <>
struct std::hash<brimo::audio::AudioDevice> {
    std::size_t operator()(const brimo::audio::AudioDevice& device) const noexcept;
};
