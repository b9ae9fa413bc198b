#include "platform/hal/sim/SimulatedAudioBackend.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/hal/DeviceSnapshot.h"
#include "platform/hal/sim/FaultTable.h"
#include "platform/hal/sim/SimDevice.h"

namespace brimo::hal::sim {

namespace {

constexpr AudioDeviceID kFirstAutomaticDeviceID = 2;
// Streams get IDs of their own range, so a test's chosen device IDs never collide with them.
constexpr AudioStreamID kFirstStreamID = 0x10000;

bool isDirectionScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

std::vector<UInt32> channelsOf(const std::vector<StreamRecord>& streams) {
    std::vector<UInt32> channels;
    channels.reserve(streams.size());
    for (const auto& stream : streams) {
        channels.push_back(stream.channels);
    }
    return channels;
}

const std::vector<StreamRecord>& sideOf(const DeviceRecord& device, bool output) {
    return output ? device.outputStreams : device.inputStreams;
}

}  // namespace

// One device of the scripted model. Its record is what the backend publishes, as it is; beside
// it only what the simulation alone knows: the clock's drift, and the I/O side, which lives in
// its SimDevice with a lock of its own.
struct DeviceEntry {
    DeviceRecord record;
    double driftPpm = 0.0;
    std::shared_ptr<SimDevice> io;
    DeviceConfig config;  // as added, for a replug or a server's return

    [[nodiscard]] SimDevice::Format ioFormat() const {
        return {record.sampleRate, record.bufferFrameSize, driftPpm, record.inputChannels(),
                record.outputChannels()};
    }
};

namespace {

std::shared_ptr<const DeviceSnapshot> runningServerWithoutDevices() {
    auto snapshot = std::make_shared<DeviceSnapshot>();
    snapshot->connected = true;
    return snapshot;
}

}  // namespace

struct SimulatedAudioBackend::State {
    explicit State(ClockMode mode) : clock(mode) {}

    SimClock clock;
    FaultTable faults;
    std::mutex stepping;                                // one advance() at a time
    std::vector<std::shared_ptr<SimDevice>> stepOrder;  // advance()'s copy of the device list

    mutable std::mutex mutex;
    std::vector<DeviceEntry> devices;   // in the order they were added
    std::atomic<UInt64> generation{0};  // bumped whenever `devices` changes
    AudioDeviceID nextDeviceID = kFirstAutomaticDeviceID;
    AudioStreamID nextStreamID = kFirstStreamID;
    AudioDeviceID defaultOutput = kAudioObjectUnknown;
    AudioDeviceID defaultInput = kAudioObjectUnknown;
    std::map<SignalID, std::weak_ptr<SimDevice>> signals;
    SignalID nextSignal = 1;
    // While the server is stopped: what comes back with it.
    bool serverRunning = true;
    std::vector<DeviceConfig> parkedDevices;
    std::string parkedDefaultOutputUID;
    std::string parkedDefaultInputUID;
    // Devices already gone from the list whose I/O is still being ended: a unit that stops in
    // that moment must still be taken off the device, or the ending would call a unit its
    // owner has already destroyed.
    std::vector<std::pair<AudioDeviceID, std::shared_ptr<SimDevice>>> departing;

    // The devices and defaults as they now are, for publishing.
    [[nodiscard]] std::shared_ptr<const DeviceSnapshot> snapshotLocked() const {
        auto next = std::make_shared<DeviceSnapshot>();
        next->connected = serverRunning;
        next->devices.reserve(devices.size());
        for (const auto& d : devices) {
            next->devices.push_back(d.record);
        }
        next->defaultOutput = defaultOutput;
        next->defaultInput = defaultInput;
        return next;
    }

    DeviceEntry* find(AudioDeviceID id) {
        const auto it = std::find_if(devices.begin(), devices.end(),
                                     [id](const DeviceEntry& d) { return d.record.id == id; });
        return it == devices.end() ? nullptr : &*it;
    }

    // Ends the I/O of devices already taken off the list, each unit told with `reason`, and
    // then forgets them. Outside the lock: a unit told may stop its I/O.
    void retire(const std::vector<std::shared_ptr<SimDevice>>& gone, OSStatus reason) {
        for (const auto& io : gone) {
            io->endIO(reason);
            io->shutDown();
        }
        const std::lock_guard guard(mutex);
        std::erase_if(departing, [&gone](const auto& d) {
            return std::find(gone.begin(), gone.end(), d.second) != gone.end();
        });
    }

    DeviceEntry& existing(AudioDeviceID id) {
        DeviceEntry* entry = find(id);
        if (entry == nullptr) {
            throw std::invalid_argument("no simulated device " + std::to_string(id));
        }
        return *entry;
    }

    // A side with a stream of each channel count, under new IDs.
    std::vector<StreamRecord> newStreams(const std::vector<UInt32>& channels) {
        std::vector<StreamRecord> streams;
        streams.reserve(channels.size());
        for (const UInt32 count : channels) {
            streams.push_back({nextStreamID++, count, {}, {}});
        }
        return streams;
    }

    // A new device under `id` (unknown: the next free one), appended to the list.
    DeviceEntry& addEntry(DeviceConfig config) {
        AudioDeviceID id = config.id;
        if (id == kAudioObjectUnknown) {
            while (find(nextDeviceID) != nullptr) {
                ++nextDeviceID;
            }
            id = nextDeviceID++;
        } else if (id <= kAudioObjectSystemObject || id >= kFirstStreamID || find(id) != nullptr) {
            throw std::invalid_argument("device ID " + std::to_string(id) + " is taken");
        }
        DeviceEntry entry;
        entry.record.id = id;
        entry.record.name = config.name;
        entry.record.uid = config.uid;
        entry.record.sampleRate = config.nominalSampleRate;
        entry.record.bufferFrameSize = config.bufferFrameSize;
        entry.record.inputStreams = newStreams(config.inputStreams);
        entry.record.outputStreams = newStreams(config.outputStreams);
        entry.driftPpm = config.driftPpm;
        const auto recordingFrames = static_cast<UInt32>(
            std::max(1.0, std::ceil(config.recordingSeconds * config.nominalSampleRate)));
        entry.io =
            std::make_shared<SimDevice>(clock, entry.ioFormat(), config.loopback, recordingFrames);
        entry.config = std::move(config);
        entry.config.id = kAudioObjectUnknown;
        devices.push_back(std::move(entry));
        generation.fetch_add(1);
        return devices.back();
    }

    AudioDeviceID idOfUID(const std::string& uid, bool output) const {
        for (const auto& d : devices) {
            if (d.record.uid == uid && !sideOf(d.record, output).empty()) {
                return d.record.id;
            }
        }
        return kAudioObjectUnknown;
    }

    // The first device with that side, the next default when the default goes.
    AudioDeviceID firstWith(bool output) const {
        for (const auto& d : devices) {
            if (!sideOf(d.record, output).empty()) {
                return d.record.id;
            }
        }
        return kAudioObjectUnknown;
    }
};

namespace {

template <typename BackendState>
std::shared_ptr<SimDevice> deviceIOOf(BackendState& state, AudioDeviceID device) {
    const std::lock_guard guard(state.mutex);
    return state.existing(device).io;
}

}  // namespace

SimulatedAudioBackend::SimulatedAudioBackend(ClockMode mode)
    : SnapshotBackend(runningServerWithoutDevices()),
      mode_(mode),
      state_(std::make_unique<State>(mode)) {}

SimulatedAudioBackend::~SimulatedAudioBackend() {
    // No listener runs into the failures and devices taken down below, and device threads end
    // before the clock they use.
    stopListeners();
    std::vector<std::shared_ptr<SimDevice>> devices;
    {
        const std::lock_guard guard(state_->mutex);
        for (const auto& d : state_->devices) {
            devices.push_back(d.io);
        }
    }
    for (const auto& d : devices) {
        d->shutDown();
    }
}

// ---- Devices ---------------------------------------------------------------------------------

template <typename Change>
void SimulatedAudioBackend::update(Change change) {
    std::vector<PropertyChange> changes;
    {
        const std::lock_guard guard(state_->mutex);
        change(*state_);
        changes = publish(state_->snapshotLocked());
    }
    announce(changes);
}

AudioDeviceID SimulatedAudioBackend::addDevice(DeviceConfig config) {
    if (!(std::isfinite(config.nominalSampleRate) && config.nominalSampleRate > 0.0) ||
        config.bufferFrameSize == 0) {
        throw std::invalid_argument("a simulated device needs a positive rate and block size");
    }
    AudioDeviceID id = kAudioObjectUnknown;
    update([&](State& s) {
        const DeviceRecord& added = s.addEntry(std::move(config)).record;
        id = added.id;
        if (s.defaultOutput == kAudioObjectUnknown && !added.outputStreams.empty()) {
            s.defaultOutput = id;
        }
        if (s.defaultInput == kAudioObjectUnknown && !added.inputStreams.empty()) {
            s.defaultInput = id;
        }
    });
    return id;
}

void SimulatedAudioBackend::removeDevice(AudioDeviceID device) {
    State& s = *state_;
    std::shared_ptr<SimDevice> io;
    std::vector<PropertyChange> changes;
    {
        const std::lock_guard guard(s.mutex);
        io = s.existing(device).io;
        s.departing.emplace_back(device, io);
        std::erase_if(s.devices, [device](const DeviceEntry& d) { return d.record.id == device; });
        s.generation.fetch_add(1);
        if (s.defaultOutput == device) {
            s.defaultOutput = s.firstWith(true);
        }
        if (s.defaultInput == device) {
            s.defaultInput = s.firstWith(false);
        }
        changes = publish(s.snapshotLocked());
    }
    s.retire({io}, kAudioHardwareBadDeviceError);
    announce(changes);
}

void SimulatedAudioBackend::renameDevice(AudioDeviceID device, std::string name) {
    update([&](State& s) { s.existing(device).record.name = std::move(name); });
}

void SimulatedAudioBackend::setDeviceUID(AudioDeviceID device, std::string uid) {
    update([&](State& s) { s.existing(device).record.uid = std::move(uid); });
}

// `change` edits the device's entry and says whether that changed it.
template <typename Change>
std::vector<PropertyChange> SimulatedAudioBackend::changeFormat(AudioDeviceID device,
                                                                Change change) {
    SimDevice::Format format;
    std::shared_ptr<SimDevice> io;
    std::vector<PropertyChange> changes;
    {
        const std::lock_guard guard(state_->mutex);
        DeviceEntry& entry = state_->existing(device);
        if (!change(entry)) {
            return {};
        }
        format = entry.ioFormat();
        io = entry.io;
        changes = publish(state_->snapshotLocked());
    }
    io->setFormat(format);
    return changes;
}

void SimulatedAudioBackend::setNominalSampleRate(AudioDeviceID device, Float64 rate) {
    if (!(std::isfinite(rate) && rate > 0.0)) {
        throw std::invalid_argument("a nominal rate must be positive");
    }
    announce(changeFormat(device, [rate](DeviceEntry& d) {
        return std::exchange(d.record.sampleRate, rate) != rate;
    }));
}

void SimulatedAudioBackend::setBufferFrameSize(AudioDeviceID device, UInt32 frames) {
    if (frames == 0) {
        throw std::invalid_argument("a block holds at least one frame");
    }
    announce(changeFormat(device, [frames](DeviceEntry& d) {
        return std::exchange(d.record.bufferFrameSize, frames) != frames;
    }));
}

void SimulatedAudioBackend::setDriftPpm(AudioDeviceID device, double ppm) {
    changeFormat(device, [ppm](DeviceEntry& d) { return std::exchange(d.driftPpm, ppm) != ppm; });
}

void SimulatedAudioBackend::setStreams(AudioDeviceID device, AudioObjectPropertyScope scope,
                                       std::vector<UInt32> channelsPerStream) {
    if (!isDirectionScope(scope)) {
        throw std::invalid_argument("streams belong to the input or the output scope");
    }
    const bool input = scope == kAudioObjectPropertyScopeInput;
    announce(changeFormat(device, [&, channels = std::move(channelsPerStream)](DeviceEntry& d) {
        auto& streams = input ? d.record.inputStreams : d.record.outputStreams;
        // The same channels keep their streams; others are new streams under new IDs.
        if (channelsOf(streams) == channels) {
            return false;
        }
        streams = state_->newStreams(channels);
        return true;
    }));
}

void SimulatedAudioBackend::setDefaultOutputDevice(AudioDeviceID device) {
    update([&](State& s) {
        if (s.existing(device).record.outputStreams.empty()) {
            throw std::invalid_argument("the default output needs an output stream");
        }
        s.defaultOutput = device;
    });
}

void SimulatedAudioBackend::setDefaultInputDevice(AudioDeviceID device) {
    update([&](State& s) {
        if (s.existing(device).record.inputStreams.empty()) {
            throw std::invalid_argument("the default input needs an input stream");
        }
        s.defaultInput = device;
    });
}

std::vector<AudioDeviceID> SimulatedAudioBackend::devices() const {
    const std::lock_guard guard(state_->mutex);
    std::vector<AudioDeviceID> ids;
    for (const auto& d : state_->devices) {
        ids.push_back(d.record.id);
    }
    return ids;
}

// ---- Device I/O and the server going away ---------------------------------------------------

void SimulatedAudioBackend::killDeviceIO(AudioDeviceID device, OSStatus reason) {
    deviceIOOf(*state_, device)->endIO(reason);
}

void SimulatedAudioBackend::stallDeviceIO(AudioDeviceID device, double seconds) {
    const auto span = static_cast<UInt64>(std::llround(std::max(seconds, 0.0) * 1e9));
    deviceIOOf(*state_, device)->stallUntil(state_->clock.now() + span);
}

AudioDeviceID SimulatedAudioBackend::replugDevice(AudioDeviceID device) {
    DeviceConfig config;
    {
        const std::lock_guard guard(state_->mutex);
        config = state_->existing(device).config;
    }
    removeDevice(device);
    return addDevice(std::move(config));
}

void SimulatedAudioBackend::stopServer() {
    State& s = *state_;
    std::vector<DeviceEntry> gone;
    std::vector<std::shared_ptr<SimDevice>> ended;
    std::vector<PropertyChange> changes;
    {
        const std::lock_guard guard(s.mutex);
        if (!s.serverRunning) {
            return;
        }
        s.serverRunning = false;
        gone = std::move(s.devices);
        s.devices.clear();
        for (const auto& d : gone) {
            s.departing.emplace_back(d.record.id, d.io);
            ended.push_back(d.io);
        }
        s.generation.fetch_add(1);
        s.parkedDevices.clear();
        s.parkedDefaultOutputUID.clear();
        s.parkedDefaultInputUID.clear();
        for (const auto& d : gone) {
            s.parkedDevices.push_back(d.config);
            if (d.record.id == s.defaultOutput) {
                s.parkedDefaultOutputUID = d.record.uid;
            }
            if (d.record.id == s.defaultInput) {
                s.parkedDefaultInputUID = d.record.uid;
            }
        }
        s.defaultOutput = kAudioObjectUnknown;
        s.defaultInput = kAudioObjectUnknown;
        changes = publish(s.snapshotLocked());
    }
    s.retire(ended, kAudioHardwareNotRunningError);
    announce(changes);
}

void SimulatedAudioBackend::startServer() {
    update([](State& s) {
        if (s.serverRunning) {
            return;
        }
        s.serverRunning = true;
        for (auto& config : s.parkedDevices) {
            s.addEntry(std::move(config));
        }
        s.parkedDevices.clear();
        s.defaultOutput = s.idOfUID(s.parkedDefaultOutputUID, true);
        if (s.defaultOutput == kAudioObjectUnknown) {
            s.defaultOutput = s.firstWith(true);
        }
        s.defaultInput = s.idOfUID(s.parkedDefaultInputUID, false);
        if (s.defaultInput == kAudioObjectUnknown) {
            s.defaultInput = s.firstWith(false);
        }
    });
}

bool SimulatedAudioBackend::isServerRunning() const {
    const std::lock_guard guard(state_->mutex);
    return state_->serverRunning;
}

// ---- Failures --------------------------------------------------------------------------------

void SimulatedAudioBackend::failProperty(const PropertyFault& fault) {
    state_->faults.addProperty(fault);
}

void SimulatedAudioBackend::makeStringAbsent(AudioObjectID object,
                                             AudioObjectPropertySelector selector) {
    state_->faults.addAbsentString(object, selector);
}

void SimulatedAudioBackend::emptyStreamConfiguration(AudioDeviceID device,
                                                     AudioObjectPropertyScope scope) {
    state_->faults.addEmptyConfiguration(device, scope);
}

void SimulatedAudioBackend::failUnitCall(const UnitFault& fault) {
    state_->faults.addUnit(fault);
}

void SimulatedAudioBackend::refuseAsCurrentDevice(AudioDeviceID device, OSStatus status) {
    UnitFault fault;
    fault.kind = UnitCallKind::setProperty;
    fault.propertyOrParameter = kAudioOutputUnitProperty_CurrentDevice;
    fault.device = device;
    fault.status = status;
    state_->faults.addUnit(fault);
}

void SimulatedAudioBackend::failListenerRegistration(AudioObjectID object,
                                                     AudioObjectPropertySelector selector,
                                                     OSStatus status) {
    state_->faults.addProperty(
        {object, selector, std::nullopt, PropertyFault::Call::addListener, status});
}

void SimulatedAudioBackend::clearFaults() {
    state_->faults.clear();
}

// ---- Signals ---------------------------------------------------------------------------------

SignalID SimulatedAudioBackend::play(AudioDeviceID device, Signal signal, Side side) {
    State& s = *state_;
    std::shared_ptr<SimDevice> io;
    SignalID id = 0;
    {
        const std::lock_guard guard(s.mutex);
        const DeviceEntry& entry = s.existing(device);
        if (sideOf(entry.record, side == Side::playback).empty()) {
            throw std::invalid_argument("the device has no such side to feed");
        }
        io = entry.io;
        id = s.nextSignal++;
        s.signals.emplace(id, io);
    }
    io->addSignal(id, std::move(signal), side);
    return id;
}

void SimulatedAudioBackend::stopSignal(SignalID signal) {
    std::shared_ptr<SimDevice> io;
    {
        const std::lock_guard guard(state_->mutex);
        const auto it = state_->signals.find(signal);
        if (it == state_->signals.end()) {
            return;
        }
        io = it->second.lock();
        state_->signals.erase(it);
    }
    if (io != nullptr) {
        io->removeSignal(signal);
    }
}

// ---- Time ------------------------------------------------------------------------------------

void SimulatedAudioBackend::advance(std::chrono::nanoseconds span) {
    if (mode_ != ClockMode::stepped) {
        throw std::logic_error("advance() is for the stepped clock");
    }
    State& s = *state_;
    const std::lock_guard stepping(s.stepping);
    const UInt64 end = s.clock.now() + static_cast<UInt64>(std::max<SInt64>(span.count(), 0));
    // Kept between calls, so that a steady run allocates nothing.
    auto& devices = s.stepOrder;
    UInt64 seen = ~UInt64{0};
    for (;;) {
        if (const UInt64 generation = s.generation.load(); generation != seen) {
            const std::lock_guard guard(s.mutex);
            devices.clear();
            for (const auto& d : s.devices) {
                devices.push_back(d.io);
            }
            seen = generation;
        }
        SimDevice* due = nullptr;
        UInt64 dueAt = end;
        for (const auto& d : devices) {
            const auto t = d->nextCycleTime();
            if (t && *t <= dueAt && (due == nullptr || *t < dueAt)) {
                due = d.get();
                dueAt = *t;
            }
        }
        if (due == nullptr) {
            break;
        }
        s.clock.set(std::max(dueAt, s.clock.now()));
        due->runCycleDueAt(dueAt);
    }
    s.clock.set(end);
}

void SimulatedAudioBackend::advanceSeconds(double seconds) {
    advance(std::chrono::nanoseconds(static_cast<SInt64>(std::llround(seconds * 1e9))));
}

UInt64 SimulatedAudioBackend::now() const {
    return state_->clock.now();
}

// ---- Observation -----------------------------------------------------------------------------

Recording SimulatedAudioBackend::recording(AudioDeviceID device) const {
    return deviceIOOf(*state_, device)->recording();
}

void SimulatedAudioBackend::clearRecording(AudioDeviceID device) {
    deviceIOOf(*state_, device)->clearRecording();
}

bool SimulatedAudioBackend::isRunning(AudioDeviceID device) const {
    return deviceIOOf(*state_, device)->isRunning();
}

UInt64 SimulatedAudioBackend::cycleCount(AudioDeviceID device) const {
    return deviceIOOf(*state_, device)->cycleCount();
}

// ---- AudioHardwareBackend --------------------------------------------------------------------

OSStatus SimulatedAudioBackend::propertyCallStatus(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   PropertyCallKind call) {
    using Call = PropertyFault::Call;
    Call asked = Call::addListener;
    switch (call) {
        case PropertyCallKind::dataSize:
            asked = Call::dataSize;
            break;
        case PropertyCallKind::data:
            asked = Call::data;
            break;
        case PropertyCallKind::setData:
            asked = Call::setData;
            break;
        case PropertyCallKind::addListener:
            break;
    }
    return state_->faults.propertyStatus(object, address, asked);
}

void SimulatedAudioBackend::adjustValue(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        PropertyValue& value) {
    if (value.kind == PropertyValue::Kind::text &&
        state_->faults.isStringAbsent(object, address.mSelector)) {
        value.text.reset();
    }
    if (value.kind == PropertyValue::Kind::bufferList &&
        state_->faults.isConfigurationEmpty(object, address.mScope)) {
        value.list.clear();
    }
}

OSStatus SimulatedAudioBackend::makeDefaultOutput(AudioDeviceID device) {
    OSStatus status = noErr;
    update([&](State& s) {
        const DeviceEntry* entry = s.find(device);
        if (entry == nullptr || entry->record.outputStreams.empty()) {
            status = kAudioHardwareBadDeviceError;
            return;
        }
        s.defaultOutput = device;
    });
    return status;
}

OSStatus SimulatedAudioBackend::deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) {
    const std::lock_guard guard(state_->mutex);
    const DeviceEntry* entry = state_->find(device);
    if (entry == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    format.sampleRate = entry->record.sampleRate;
    format.inputChannels = entry->record.inputChannels();
    format.outputChannels = entry->record.outputChannels();
    format.bufferFrameSize = entry->record.bufferFrameSize;
    return noErr;
}

OSStatus SimulatedAudioBackend::startDeviceIO(AudioDeviceID device, DeviceIOClient& client,
                                              bool capture, bool play) {
    std::shared_ptr<SimDevice> io;
    {
        const std::lock_guard guard(state_->mutex);
        const DeviceEntry* entry = state_->find(device);
        if (entry == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        if ((capture && entry->record.inputChannels() == 0) ||
            (play && entry->record.outputChannels() == 0)) {
            return kAudioHardwareIllegalOperationError;
        }
        io = entry->io;
    }
    io->addClient(client, capture, play);
    return noErr;
}

void SimulatedAudioBackend::stopDeviceIO(AudioDeviceID device, DeviceIOClient& client) {
    std::shared_ptr<SimDevice> io;
    {
        const std::lock_guard guard(state_->mutex);
        if (const DeviceEntry* entry = state_->find(device); entry != nullptr) {
            io = entry->io;
        } else {
            const auto& departing = state_->departing;
            const auto it = std::find_if(departing.begin(), departing.end(),
                                         [device](const auto& d) { return d.first == device; });
            if (it == departing.end()) {
                return;  // a device that is gone for good calls nobody
            }
            io = it->second;
        }
    }
    io->removeClient(client);
}

OSStatus SimulatedAudioBackend::unitCallStatus(const UnitCall& call) {
    return state_->faults.unitStatus(call);
}

}  // namespace brimo::hal::sim
