#pragma once

#include <optional>
#include <string>

#include "platform/hal/AudioTypes.h"

namespace brimo::hal {

// The audio hardware as objects with properties: the system object (the device list, the
// default devices) and one object per device and per stream, each named by a 32-bit ID.

using AudioObjectID = UInt32;
using AudioDeviceID = AudioObjectID;
using AudioStreamID = AudioObjectID;
using AudioObjectPropertySelector = UInt32;
using AudioObjectPropertyScope = UInt32;
using AudioObjectPropertyElement = UInt32;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = 0;
    AudioObjectPropertyElement mElement = 0;

    friend bool operator==(const AudioObjectPropertyAddress&,
                           const AudioObjectPropertyAddress&) = default;
};

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes and elements.
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = fourCharCode("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFFU;
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard =
    fourCharCode("****");

// System object: AudioObjectID[] of every device, in the backend's order.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
// System object: one AudioObjectID, kAudioObjectUnknown when there is none.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    fourCharCode("dIn ");

// Device: AudioObjectPropertyString, the display name.
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
// Device: AudioObjectPropertyString, the persistent UID.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
// Device, input or output scope: AudioStreamID[] (global scope: input streams, then output).
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
// Device: Float64 frames per second.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate =
    fourCharCode("nsrt");
// Device, input or output scope: an AudioBufferList with one buffer per stream; each buffer
// carries its stream's channel count, a byte size of 0 and no data.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration =
    fourCharCode("slay");
// Device: UInt32, the frames of one I/O cycle. No unit callback is asked for more frames.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize =
    fourCharCode("fsiz");
// Device: UInt32, 1 while the device exists. A removed device's listeners hear it turn 0.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive =
    fourCharCode("livn");

// Text properties come back as owned text instead of a reference-counted handle. A read of one
// passes a pointer to an AudioObjectPropertyString and its size; std::nullopt is a successful
// read that yields no string, which callers treat like a failed one.
using AudioObjectPropertyString = std::optional<std::string>;

// Called on a thread of the backend, once per change of a property it listens to, with the
// one address that changed. It should return quickly and must not block on the thread that
// adds or removes listeners.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID inObjectID,
                                                     UInt32 inNumberAddresses,
                                                     const AudioObjectPropertyAddress* inAddresses,
                                                     void* inClientData);

// True when the object has the property at that address.
bool AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);

// The size in bytes that AudioObjectGetPropertyData would fill. Qualifier data is accepted and
// ignored by every property this layer knows.
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);

// Fills outData. On entry *ioDataSize is the room at outData; on success it is the bytes
// written. Arrays are cut to the whole elements that fit; a fixed-size value that does not fit
// fails with kAudioHardwareBadPropertySizeError.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);

// Whether AudioObjectSetPropertyData can change the property at that address: only the system
// object's default output device is settable.
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       bool* outIsSettable);

// Changes a property. The system object's kAudioHardwarePropertyDefaultOutputDevice takes one
// AudioDeviceID of a device that can play (else kAudioHardwareBadDeviceError; a wrong size
// kAudioHardwareBadPropertySizeError); on success the audio server has accepted the change and
// the default output's listeners hear it once it shows. Properties that exist but cannot be set
// fail with kAudioHardwareIllegalOperationError, unknown ones as reads of them do.
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData);

// Registers inListener for the address (wildcards allowed in every field). Registering the
// same object, address, function and client data twice keeps one registration.
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData);

// Removes the registration with exactly these arguments. When this returns on any thread but
// the backend's listener thread, the listener is not running and will not be called again.
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData);

}  // namespace brimo::hal
