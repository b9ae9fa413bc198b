#include "audio/devices/AudioDevice.h"

#include <unicode/unistr.h>

namespace brimo::audio {
namespace {

// Unicode lower-casing, so that names such as "BRIMOLA VETRIX" or ones with non-ASCII letters
// are classified the way a user reads them.
std::string lowercased(const std::string& text) {
    std::string lower;
    icu::UnicodeString::fromUTF8(text).toLower().toUTF8String(lower);
    return lower;
}

bool mentions(const AudioDevice& device, const std::string& word) {
    return lowercased(device.name).find(word) != std::string::npos ||
           lowercased(device.uid).find(word) != std::string::npos;
}

}  // namespace

bool AudioDevice::isBrimolavetrix() const {
    return mentions(*this, "brimola");
}

bool AudioDevice::isBlackHole() const {
    return mentions(*this, "blackhole");
}

}  // namespace brimo::audio

std::size_t std::hash<brimo::audio::AudioDevice>::operator()(
    const brimo::audio::AudioDevice& device) const noexcept {
    std::size_t seed = std::hash<std::uint32_t>{}(device.id);
    const auto combine = [&seed](std::size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6U) + (seed >> 2U);
    };
    combine(std::hash<std::string>{}(device.name));
    combine(std::hash<std::string>{}(device.uid));
    combine(std::hash<bool>{}(device.isInput));
    combine(std::hash<bool>{}(device.isOutput));
    return seed;
}
