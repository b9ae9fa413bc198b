#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/sim/DeviceRecorder.h"
#include "platform/hal/sim/SignalPlayer.h"
#include "platform/hal/sim/SimClock.h"

namespace brimo::hal::sim {

// The I/O side of one simulated device: its clock, the units and signals on it, and the cycle
// that runs them. A device runs cycles while a unit or a signal is on it. Cycle k after the
// device started (or last changed format) is due at anchor + k × frames / actual rate, where
// the actual rate is the nominal one drifted by the device's ppm. All state is guarded by one
// mutex that a cycle holds while it runs, so that when a unit is taken off, its callbacks are
// over.
class SimDevice {
  public:
    // What the cycle needs of its device: the published rate, block and channels, and the drift.
    struct Format {
        Float64 sampleRate = 48000.0;
        UInt32 bufferFrameSize = 512;
        double driftPpm = 0.0;
        UInt32 inputChannels = 0;
        UInt32 outputChannels = 0;

        bool operator==(const Format&) const = default;
    };

    SimDevice(const SimClock& clock, Format format, bool loopback, UInt32 recordingFrames);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;
    SimDevice(SimDevice&&) = delete;
    SimDevice& operator=(SimDevice&&) = delete;

    void setFormat(const Format& format);
    [[nodiscard]] Format format() const;

    void addClient(DeviceIOClient& client, bool capture, bool play);
    void removeClient(DeviceIOClient& client);
    void addSignal(SignalID id, Signal signal, Side side);
    bool removeSignal(SignalID id);

    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] UInt64 cycleCount() const;
    [[nodiscard]] Recording recording() const;
    void clearRecording();

    // Stepped mode: when the next cycle is due, if the device runs; and running that cycle.
    [[nodiscard]] std::optional<UInt64> nextCycleTime() const;
    void runCycleDueAt(UInt64 time);

    // Ends the I/O of every unit on the device: each is told once, with `reason`, on this
    // thread and under the device's lock (so never during one of its cycles), and is called no
    // more. Signals stay.
    void endIO(OSStatus reason);

    // No cycle runs until host time `until`; the cycles missed meanwhile are never made up.
    void stallUntil(UInt64 until);

    // Ends the real-time thread, if any, for good. The device is silent afterwards.
    void shutDown();

  private:
    struct Client {
        DeviceIOClient* client;
        bool capture;
        bool play;
    };

    [[nodiscard]] bool runningLocked() const { return !clients_.empty() || !signals_.empty(); }
    [[nodiscard]] UInt64 cycleTimeLocked(UInt64 index) const;
    void startRunningLocked(bool wasRunning);
    void allocateLocked();
    void cycleLocked();
    void realTimeLoop();

    const SimClock& clock_;
    const bool loopback_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Format format_;
    std::vector<Client> clients_;
    std::vector<SignalPlayer> signals_;
    std::vector<float> mix_;      // what the device plays this cycle
    std::vector<float> unitOut_;  // one unit's share of it
    std::vector<float> capture_;  // what the device captures this cycle
    DeviceRecorder recorder_;
    UInt64 anchor_ = 0;  // host time of cycle 0 of the current schedule
    UInt64 index_ = 0;   // next cycle of the current schedule
    SInt64 sampleTime_ = 0;
    UInt64 cycles_ = 0;
    bool rescheduled_ = false;
    bool shutDown_ = false;
    std::thread thread_;
};

}  // namespace brimo::hal::sim
