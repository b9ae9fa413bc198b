#pragma once

#include <memory>
#include <utility>

#include "platform/hal/AudioObject.h"
#include "platform/hal/AudioUnit.h"

namespace brimo::hal {

// The seam under the audio hardware layer. The functions of AudioObject.h and the HAL output
// unit of AudioUnit.h call the installed backend and nothing else, so a backend on a real audio
// server replaces the simulated one without any caller changing.

// What a device offers an output unit at this moment.
struct DeviceIOFormat {
    Float64 sampleRate = 0.0;    // nominal frames per second
    UInt32 inputChannels = 0;    // 0: the device cannot capture
    UInt32 outputChannels = 0;   // 0: the device cannot play
    UInt32 bufferFrameSize = 0;  // frames per I/O cycle
};

// The unit side of device I/O, implemented by the HAL output unit. The backend calls it on the
// device's I/O thread, never on two threads at once for one client (deviceIODidStop aside),
// with interleaved 32-bit float frames in the device's own channel count and current rate.
class DeviceIOClient {
  public:
    DeviceIOClient() = default;
    virtual ~DeviceIOClient() = default;
    DeviceIOClient(const DeviceIOClient&) = delete;
    DeviceIOClient& operator=(const DeviceIOClient&) = delete;
    DeviceIOClient(DeviceIOClient&&) = delete;
    DeviceIOClient& operator=(DeviceIOClient&&) = delete;

    // Frames the device captured. `time` is that of the first frame in device frames.
    virtual void deviceDidCapture(const float* samples, UInt32 frames, UInt32 channels,
                                  Float64 sampleRate, const AudioTimeStamp& time) = 0;
    // Fill all `frames` × `channels` samples with what the device plays next.
    virtual void deviceWillPlay(float* samples, UInt32 frames, UInt32 channels, Float64 sampleRate,
                                const AudioTimeStamp& time) = 0;
    // The device's I/O ended without stopDeviceIO: the device went away, the audio server
    // stopped, or it killed the stream rather than move it elsewhere. No capture or play call
    // follows; stopDeviceIO is still due, though not from here. At most once per startDeviceIO,
    // on a thread that may lock: the real backend's listener thread, the simulated one's caller.
    virtual void deviceIODidStop(OSStatus /*reason*/) {}
};

// A unit call as a backend may see it before it happens (see unitCallStatus).
enum class UnitCallKind {
    instanceNew,
    setProperty,
    setParameter,
    initialize,
    uninitialize,
    render,
    start,
    stop,
};

struct UnitCall {
    AudioComponentDescription component;
    UnitCallKind kind = UnitCallKind::instanceNew;
    // For setting kAudioOutputUnitProperty_CurrentDevice, the device being set; otherwise the
    // unit's current device as last set, kAudioObjectUnknown if never.
    AudioDeviceID device = kAudioObjectUnknown;
    UInt32 propertyOrParameter = 0;  // setProperty, setParameter
    AudioUnitScope scope = 0;        // setProperty, setParameter
    AudioUnitElement element = 0;    // setProperty, setParameter, render (the bus)
};

class AudioHardwareBackend {
  public:
    AudioHardwareBackend() = default;
    virtual ~AudioHardwareBackend() = default;
    AudioHardwareBackend(const AudioHardwareBackend&) = delete;
    AudioHardwareBackend& operator=(const AudioHardwareBackend&) = delete;
    AudioHardwareBackend(AudioHardwareBackend&&) = delete;
    AudioHardwareBackend& operator=(AudioHardwareBackend&&) = delete;

    // ---- Objects and properties: the contracts of AudioObject.h, arguments already checked
    // (address non-null, sizes and pointers non-null where the call needs them).
    virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
    virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         UInt32 qualifierSize, const void* qualifier,
                                         UInt32& dataSize) = 0;
    virtual OSStatus getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32& dataSize,
                                     void* data) = 0;
    // Only called for the settable properties of AudioObject.h with data of their size. A
    // backend that cannot change the hardware refuses with kAudioHardwareIllegalOperationError.
    virtual OSStatus setPropertyData(AudioObjectID /*object*/,
                                     const AudioObjectPropertyAddress& /*address*/,
                                     UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                     UInt32 /*dataSize*/, const void* /*data*/) {
        return kAudioHardwareIllegalOperationError;
    }
    virtual OSStatus addPropertyListener(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerProc listener,
                                         void* clientData) = 0;
    virtual OSStatus removePropertyListener(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerProc listener,
                                            void* clientData) = 0;

    // ---- Device I/O for output units.
    // The device's format, or a status when the device cannot serve a unit (unknown device:
    // kAudioHardwareBadDeviceError).
    virtual OSStatus deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) = 0;
    // Begins calling `client` every I/O cycle of the device, for the sides asked for, until
    // stopDeviceIO. The client must outlive that.
    virtual OSStatus startDeviceIO(AudioDeviceID device, DeviceIOClient& client, bool capture,
                                   bool play) = 0;
    // When this returns, `client` is not being called and will not be called again. Must not
    // be called from inside the client's own callback.
    virtual void stopDeviceIO(AudioDeviceID device, DeviceIOClient& client) = 0;

    // Asked before every unit call (render included, so it must be real-time safe when the
    // backend has nothing to refuse); a status other than noErr makes the call fail with it
    // without reaching the unit. The simulated backend uses it to inject failures.
    virtual OSStatus unitCallStatus(const UnitCall& /*call*/) { return noErr; }
};

// The backend every call goes to; null before one is installed (calls then fail with
// kAudioHardwareNotRunningError).
std::shared_ptr<AudioHardwareBackend> currentAudioHardwareBackend();

// Makes `backend` current and returns the one it replaces. Units made under the previous
// backend keep using it until they are disposed.
std::shared_ptr<AudioHardwareBackend> installAudioHardwareBackend(
    std::shared_ptr<AudioHardwareBackend> backend);

// Installs a backend for a scope (a test, a demo) and puts the previous one back after.
class ScopedAudioHardwareBackend {
  public:
    explicit ScopedAudioHardwareBackend(std::shared_ptr<AudioHardwareBackend> backend)
        : previous_(installAudioHardwareBackend(std::move(backend))) {}
    ~ScopedAudioHardwareBackend() { installAudioHardwareBackend(std::move(previous_)); }
    ScopedAudioHardwareBackend(const ScopedAudioHardwareBackend&) = delete;
    ScopedAudioHardwareBackend& operator=(const ScopedAudioHardwareBackend&) = delete;
    ScopedAudioHardwareBackend(ScopedAudioHardwareBackend&&) = delete;
    ScopedAudioHardwareBackend& operator=(ScopedAudioHardwareBackend&&) = delete;

  private:
    std::shared_ptr<AudioHardwareBackend> previous_;
};

}  // namespace brimo::hal
