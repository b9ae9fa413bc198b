#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"

namespace brimo::hal::sim {

// An audio system in the process, for tests and demos: devices that appear, vanish and change,
// each with its own clock; loopback devices; signals standing in for the applications the user
// runs; a bounded record of what every device played; and failures on demand.
//
// Two clock modes:
// - stepped: nothing happens until advance(); then every device cycle due in that span runs on
//   the caller's thread in time order (ties in the order devices were added). No threads, no
//   sleeps, the same samples on every run.
// - realTime: each running device has a thread of its own, paced by the monotonic clock, on
//   which its unit callbacks run, as on a real system.
// Property listeners run on one notification thread of the backend in both modes, once per
// change, in the order of the changes; waitForNotifications() waits for them.

enum class ClockMode { stepped, realTime };

// Which side of a device a signal feeds: an application playing into it, or the sound that
// reaches its capture side (a microphone). A loopback device's capture side carries what is
// played into it, and signals on that side are added to it.
enum class Side { playback, capture };

struct DeviceConfig {
    // kAudioObjectUnknown: the next free ID. A chosen ID must be free and above the system
    // object's.
    AudioDeviceID id = kAudioObjectUnknown;
    std::string name;
    std::string uid;
    std::vector<UInt32> inputStreams;   // channels of each capture stream; empty: no capture
    std::vector<UInt32> outputStreams;  // channels of each playback stream; empty: no playback
    Float64 nominalSampleRate = 48000.0;
    UInt32 bufferFrameSize = 512;
    // How far the device's clock runs fast (positive) or slow against the host clock.
    double driftPpm = 0.0;
    // Whatever is played into the device comes back on its capture side in the same cycle.
    bool loopback = false;
    // The most recent output the device keeps, in seconds at its nominal rate when added.
    double recordingSeconds = 4.0;

    // Two-channel output only.
    static DeviceConfig speakers(std::string name, std::string uid);
    // Two-channel capture only.
    static DeviceConfig microphone(std::string name, std::string uid);
    // Two channels each way, loopback, like the virtual device the user plays into.
    static DeviceConfig loopbackDevice(std::string name, std::string uid);
};

// A source of sound at the device's nominal rate, the same on every channel unless given as
// samples.
class Signal {
  public:
    static Signal tone(double frequencyHz, float amplitude = 0.5F);
    static Signal silence();
    // Interleaved frames of `channels` channels (a device with other channel counts gets channel
    // c mod channels); played once, then silence, unless `loop`.
    static Signal samples(std::vector<float> interleaved, UInt32 channels, bool loop = false);

    enum class Kind { tone, silence, samples };
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] double frequencyHz() const { return frequencyHz_; }
    [[nodiscard]] float amplitude() const { return amplitude_; }
    [[nodiscard]] const std::vector<float>& interleaved() const { return samples_; }
    [[nodiscard]] UInt32 channels() const { return channels_; }
    [[nodiscard]] bool loops() const { return loop_; }

  private:
    Kind kind_ = Kind::silence;
    double frequencyHz_ = 0.0;
    float amplitude_ = 0.0F;
    std::vector<float> samples_;
    UInt32 channels_ = 1;
    bool loop_ = false;
};

using SignalID = UInt64;

// What a device played, most recent last.
struct Recording {
    std::vector<float> samples;  // interleaved
    UInt32 channels = 0;
    Float64 sampleRate = 0.0;
    SInt64 firstFrame = 0;    // the device frame of samples[0]
    SInt64 framesPlayed = 0;  // every frame the device played, also those no longer kept

    [[nodiscard]] SInt64 frames() const {
        return channels == 0 ? 0 : static_cast<SInt64>(samples.size() / channels);
    }
    [[nodiscard]] std::vector<float> channel(UInt32 c) const;
};

// A property read, or listener registration, that fails. Unset fields match anything.
struct PropertyFault {
    enum class Call { dataSize, data, anyRead, addListener, setData };
    AudioObjectID object = kAudioObjectUnknown;
    AudioObjectPropertySelector selector = 0;
    std::optional<AudioObjectPropertyScope> scope;
    Call call = Call::anyRead;
    OSStatus status = kAudioHardwareUnspecifiedError;
};

// A unit call that fails without reaching the unit. Unset fields match anything.
struct UnitFault {
    std::optional<OSType> componentType;
    std::optional<OSType> componentSubType;
    UnitCallKind kind = UnitCallKind::initialize;
    std::optional<AudioDeviceID> device;  // as in UnitCall::device
    std::optional<UInt32> propertyOrParameter;
    std::optional<AudioUnitScope> scope;
    std::optional<AudioUnitElement> element;
    OSStatus status = kAudioUnitErr_FailedInitialization;
    int skip = 0;    // matching calls let through before the first failure
    int times = -1;  // failures before the fault is spent; -1: never spent
};

class SimulatedAudioBackend final : public AudioHardwareBackend {
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
    // Returns when every listener call queued so far has returned.
    void waitForNotifications();

    // ---- AudioHardwareBackend.
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier,
                                 UInt32& dataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32& dataSize,
                             void* data) override;
    // Setting the default output, as setDefaultOutputDevice does, with statuses for a device
    // that is unknown or cannot play.
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                             const void* data) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc listener,
                                 void* clientData) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc listener,
                                    void* clientData) override;
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
    const ClockMode mode_;
    std::unique_ptr<State> state_;
};

// A fresh simulated backend installed for the scope of a test or a demo; the previous backend
// comes back afterwards.
class ScopedSimulatedBackend {
  public:
    explicit ScopedSimulatedBackend(ClockMode mode = ClockMode::stepped)
        : backend_(std::make_shared<SimulatedAudioBackend>(mode)), installation_(backend_) {}

    SimulatedAudioBackend& operator*() const { return *backend_; }
    SimulatedAudioBackend* operator->() const { return backend_.get(); }
    [[nodiscard]] const std::shared_ptr<SimulatedAudioBackend>& backend() const { return backend_; }

  private:
    std::shared_ptr<SimulatedAudioBackend> backend_;
    ScopedAudioHardwareBackend installation_;
};

}  // namespace brimo::hal::sim
