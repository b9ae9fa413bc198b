#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/hal/SnapshotBackend.h"
#include "platform/hal/sim/ClockMode.h"
#include "platform/hal/sim/DeviceConfig.h"
#include "platform/hal/sim/PropertyFault.h"
#include "platform/hal/sim/Recording.h"
#include "platform/hal/sim/Signal.h"
#include "platform/hal/sim/UnitFault.h"

namespace brimo::hal::sim {

// An audio system in the process, for tests and demos: devices that appear, vanish and change,
// each with its own clock; loopback devices; signals standing in for the applications the user
// runs; a bounded record of what every device played; and failures on demand.
// Its time moves as its ClockMode says. Its devices are published as snapshots
// (SnapshotBackend.h): listeners run on one notification thread of the backend in both modes,
// once per change, in the order of the changes; waitForNotifications() waits for them.
class SimulatedAudioBackend final : public SnapshotBackend {
  public:
    explicit SimulatedAudioBackend(ClockMode mode = ClockMode::stepped);
    ~SimulatedAudioBackend() override;

    // ---- Devices. Every change notifies the listeners of what it changed, once.
    AudioDeviceID addDevice(DeviceConfig config);
    void removeDevice(AudioDeviceID device);
    void renameDevice(AudioDeviceID device, std::string name);
    void setDeviceUID(AudioDeviceID device, std::string uid);
    void setNominalSampleRate(AudioDeviceID device, Float64 rate);
    void setBufferFrameSize(AudioDeviceID device, UInt32 frames);
    void setDriftPpm(AudioDeviceID device, double ppm);
    // Scope kAudioObjectPropertyScopeInput or kAudioObjectPropertyScopeOutput.
    void setStreams(AudioDeviceID device, AudioObjectPropertyScope scope,
                    std::vector<UInt32> channelsPerStream);
    // The first device added with playback (capture) becomes the default output (input), and
    // the next one takes over when the default is removed; these choose another.
    void setDefaultOutputDevice(AudioDeviceID device);
    void setDefaultInputDevice(AudioDeviceID device);
    [[nodiscard]] std::vector<AudioDeviceID> devices() const;

    // ---- The device's I/O and the audio server going away. A unit whose I/O ends this way is
    // told once through DeviceIOClient::deviceIODidStop, on the calling thread, never during one
    // of the device's cycles; removeDevice tells it the same with kAudioHardwareBadDeviceError.
    // Ends the I/O of every unit on the device, as a server that kills a stream; the device
    // stays.
    void killDeviceIO(AudioDeviceID device, OSStatus reason = kAudioHardwareNotRunningError);
    // The device's I/O thread stalls for `seconds` (a scheduling hiccup, a server busy
    // elsewhere): no cycle runs meanwhile, and the cycles missed are never made up.
    void stallDeviceIO(AudioDeviceID device, double seconds);
    // Removes the device and adds it again as it was first configured, under a new ID (an
    // unplug and replug, a Bluetooth reconnect); returns that ID. Its signals end with it.
    AudioDeviceID replugDevice(AudioDeviceID device);
    // The server stops: every device vanishes at once and the defaults read as none. Units on
    // them are told with kAudioHardwareNotRunningError.
    void stopServer();
    // The server is back: the devices it had, in their order, under new IDs, with the defaults
    // they had (by UID). Listeners hear one change of each kind.
    void startServer();
    void restartServer() {
        stopServer();
        startServer();
    }
    [[nodiscard]] bool isServerRunning() const;

    // ---- Failures, in force until clearFaults().
    void failProperty(const PropertyFault& fault);
    // Reads of the text property succeed but yield no string.
    void makeStringAbsent(AudioObjectID object, AudioObjectPropertySelector selector);
    // The stream configuration of that scope reads as a list with no buffers.
    void emptyStreamConfiguration(AudioDeviceID device, AudioObjectPropertyScope scope);
    void failUnitCall(const UnitFault& fault);
    // Setting the device as an output unit's current device fails with `status`.
    void refuseAsCurrentDevice(AudioDeviceID device, OSStatus status);
    void failListenerRegistration(AudioObjectID object, AudioObjectPropertySelector selector,
                                  OSStatus status);
    void clearFaults();

    // ---- Sound going in.
    SignalID play(AudioDeviceID device, Signal signal, Side side = Side::playback);
    void stopSignal(SignalID signal);

    // ---- Time.
    [[nodiscard]] ClockMode mode() const { return mode_; }
    // Stepped mode: runs every device cycle due up to now + span, in time order.
    void advance(std::chrono::nanoseconds span);
    void advanceSeconds(double seconds);
    // Nanoseconds on the backend's clock: simulated time, or the monotonic clock since the
    // backend was made.
    [[nodiscard]] UInt64 now() const;

    // ---- Observation.
    [[nodiscard]] Recording recording(AudioDeviceID device) const;
    void clearRecording(AudioDeviceID device);
    // Whether the device runs I/O cycles (a started unit or a signal is on it).
    [[nodiscard]] bool isRunning(AudioDeviceID device) const;
    [[nodiscard]] UInt64 cycleCount(AudioDeviceID device) const;

    // ---- AudioHardwareBackend.
    OSStatus deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) override;
    OSStatus startDeviceIO(AudioDeviceID device, DeviceIOClient& client, bool capture,
                           bool play) override;
    void stopDeviceIO(AudioDeviceID device, DeviceIOClient& client) override;
    OSStatus unitCallStatus(const UnitCall& call) override;

    SimulatedAudioBackend(const SimulatedAudioBackend&) = delete;
    SimulatedAudioBackend& operator=(const SimulatedAudioBackend&) = delete;
    SimulatedAudioBackend(SimulatedAudioBackend&&) = delete;
    SimulatedAudioBackend& operator=(SimulatedAudioBackend&&) = delete;

  private:
    struct State;

    // As setDefaultOutputDevice, with statuses for a device that is unknown or cannot play.
    OSStatus makeDefaultOutput(AudioDeviceID device) override;
    // The failures asked for, applied to the property calls SnapshotBackend answers.
    OSStatus propertyCallStatus(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                PropertyCallKind call) override;
    void adjustValue(AudioObjectID object, const AudioObjectPropertyAddress& address,
                     PropertyValue& value) override;
    // Runs `change` on the backend's state under its lock, publishes what it made of the
    // devices and tells the listeners what that changed.
    template <typename Change>
    void update(Change change);
    // Applies `change` to the device's published format and then, outside the backend's lock,
    // to its I/O side; returns what listeners are to hear of it.
    template <typename Change>
    std::vector<PropertyChange> changeFormat(AudioDeviceID device, Change change);

    const ClockMode mode_;
    std::unique_ptr<State> state_;
};

}  // namespace brimo::hal::sim
