#pragma once

#include <array>
#include <cstring>
#include <span>

#include "platform/hal/AudioUnit.h"

namespace brimo::hal {

// The plumbing of unit properties, written once: typed reads and writes of a property's bytes
// for the units, typed AudioUnitGet/SetProperty for callers, and a table per unit that says
// where each property lives, its size, who may write it and whether it may change while the
// unit is initialized.

// The largest maximum frames per slice any unit accepts: buffers are sized from it at
// initialize, so a larger request is refused rather than allocated.
inline constexpr UInt32 kLargestMaximumFramesPerSlice = 1U << 16U;

[[nodiscard]] constexpr bool isValidMaximumFrames(UInt32 frames) {
    return frames > 0 && frames <= kLargestMaximumFramesPerSlice;
}

// A value out of a property write: exactly sizeof(T) bytes, never from a null pointer.
template <typename T>
OSStatus readPropertyValue(const void* data, UInt32 size, T& value) {
    if (data == nullptr || size != sizeof(T)) {
        return kAudio_ParamError;
    }
    std::memcpy(&value, data, sizeof(T));
    return noErr;
}

// A value into a property read's buffer, which must hold at least sizeof(T) bytes; the size
// reports the bytes written.
template <typename T>
OSStatus writePropertyValue(const T& value, void* data, UInt32& size) {
    if (data == nullptr || size < sizeof(T)) {
        return kAudio_ParamError;
    }
    std::memcpy(data, &value, sizeof(T));
    size = sizeof(T);
    return noErr;
}

// A value from a write the table has let through: its size is already checked.
template <typename T>
T checkedPropertyValue(const void* data) {
    T value{};
    std::memcpy(&value, data, sizeof(T));
    return value;
}

template <typename T>
OSStatus setUnitProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                         AudioUnitElement element, const T& value) {
    return AudioUnitSetProperty(unit, id, scope, element, &value, sizeof(T));
}

template <typename T>
OSStatus getUnitProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                         AudioUnitElement element, T& value) {
    UInt32 size = sizeof(T);
    return AudioUnitGetProperty(unit, id, scope, element, &value, &size);
}

// Elements as a bit set (bit e for element e), one set per scope (global, input, output); an
// empty set means the property does not exist in that scope.
using ScopeElements = std::array<UInt32, 3>;

inline constexpr UInt32 kElement0 = 1U << 0U;
inline constexpr UInt32 kElement1 = 1U << 1U;
inline constexpr ScopeElements kGlobalElement0{kElement0, 0, 0};
inline constexpr ScopeElements kInputElement0{0, kElement0, 0};
inline constexpr ScopeElements kNowhere{};  // as the writable set: read-only

struct UnitPropertyRow {
    AudioUnitPropertyID id = 0;
    ScopeElements readable{};
    ScopeElements writable{};  // a subset of readable
    UInt32 size = 0;
    bool changesWhileInitialized = false;
};

// One unit's properties. Checks come in the order callers have always seen: the property,
// its scope, its element; then, for a write, writability, the value's size and the unit's
// initialization.
class UnitPropertyTable {
  public:
    constexpr explicit UnitPropertyTable(std::span<const UnitPropertyRow> rows) : rows_(rows) {}

    // The property at this address, or the status that says why there is none.
    OSStatus find(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                  const UnitPropertyRow*& row) const;

    OSStatus info(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                  UInt32& dataSize, bool& writable) const;

    // Whether a write of `size` bytes from `data` may go ahead now.
    OSStatus checkWrite(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        const void* data, UInt32 size, bool initialized) const;

  private:
    std::span<const UnitPropertyRow> rows_;
};

}  // namespace brimo::hal
