#include "audio/devices/AudioDeviceService.h"

#include <string>

#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatDeviceId;
using text::formatStatus;

namespace {

constexpr hal::AudioObjectPropertyAddress kDefaultOutputAddress{
    hal::kAudioHardwarePropertyDefaultOutputDevice, hal::kAudioObjectPropertyScopeGlobal,
    hal::kAudioObjectPropertyElementMain};
constexpr hal::AudioObjectPropertyAddress kDeviceListAddress{hal::kAudioHardwarePropertyDevices,
                                                             hal::kAudioObjectPropertyScopeGlobal,
                                                             hal::kAudioObjectPropertyElementMain};

std::optional<std::string> readText(hal::AudioObjectID object,
                                    hal::AudioObjectPropertySelector selector) {
    const hal::AudioObjectPropertyAddress address{selector, hal::kAudioObjectPropertyScopeGlobal,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::AudioObjectPropertyString text;
    hal::UInt32 size = sizeof(text);
    if (hal::AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &text) != hal::noErr) {
        return std::nullopt;
    }
    return text;
}

bool hasStreams(hal::AudioObjectID device, hal::AudioObjectPropertyScope scope) {
    const hal::AudioObjectPropertyAddress address{hal::kAudioDevicePropertyStreams, scope,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::UInt32 size = 0;
    return hal::AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) == hal::noErr &&
           size != 0;
}

std::optional<AudioDevice> readDevice(hal::AudioObjectID id) {
    auto name = readText(id, hal::kAudioObjectPropertyName);
    if (!name) {
        return std::nullopt;
    }
    auto uid = readText(id, hal::kAudioDevicePropertyDeviceUID);
    if (!uid) {
        return std::nullopt;
    }
    const bool isInput = hasStreams(id, hal::kAudioObjectPropertyScopeInput);
    const bool isOutput = hasStreams(id, hal::kAudioObjectPropertyScopeOutput);
    if (!isInput && !isOutput) {
        return std::nullopt;
    }
    return AudioDevice{id, std::move(*name), std::move(*uid), isInput, isOutput};
}

}  // namespace

AudioDeviceService::AudioDeviceService(Options options)
    : logger_("com.brimolavetrix", "AudioDeviceService"),
      print_(console::orStandardOutput(std::move(options.print))),
      notificationCenter_(options.notificationCenter != nullptr
                              ? *options.notificationCenter
                              : notification::NotificationCenter::defaultCenter()),
      route_(std::make_unique<ListenerRoute>(
          ListenerRoute{options.mainQueue, &notificationCenter_, print_})) {
    registerDeviceChangeListener();
    notificationCenter_.addObserver(this, kDeviceChangedNotification,
                                    [this] { handleDeviceChanged(); });
    registerDeviceListListener();
}

// Without it a device that comes back is noticed only by the next periodic refresh; a failed
// registration is therefore not worth more than staying quiet.
void AudioDeviceService::registerDeviceListListener() {
    deviceListRoute_ =
        std::make_unique<DeviceListRoute>(DeviceListRoute{route_->mainQueue, deviceListChanged_});
    deviceListListenerRegistered_ =
        hal::AudioObjectAddPropertyListener(hal::kAudioObjectSystemObject, &kDeviceListAddress,
                                            &deviceListListenerProc,
                                            deviceListRoute_.get()) == hal::noErr;
}

hal::OSStatus AudioDeviceService::deviceListListenerProc(
    hal::AudioObjectID /*object*/, hal::UInt32 /*numberAddresses*/,
    const hal::AudioObjectPropertyAddress* /*addresses*/, void* clientData) {
    const auto* route = static_cast<const DeviceListRoute*>(clientData);
    route->mainQueue->post([subject = route->subject] {
        if (auto live = subject.lock()) {
            live->send(ChangeEvent{});
        }
    });
    return hal::noErr;
}

AudioDeviceService::~AudioDeviceService() {
    if (deviceListListenerRegistered_) {
        hal::AudioObjectRemovePropertyListener(hal::kAudioObjectSystemObject, &kDeviceListAddress,
                                               &deviceListListenerProc, deviceListRoute_.get());
        deviceListListenerRegistered_ = false;
    }
    if (listenerRegistered_) {
        hal::AudioObjectRemovePropertyListener(hal::kAudioObjectSystemObject,
                                               &kDefaultOutputAddress, &deviceChangeListenerProc,
                                               route_.get());
        listenerRegistered_ = false;
    }
    notificationCenter_.removeObserver(this);
}

void AudioDeviceService::registerDeviceChangeListener() {
    const hal::OSStatus status =
        hal::AudioObjectAddPropertyListener(hal::kAudioObjectSystemObject, &kDefaultOutputAddress,
                                            &deviceChangeListenerProc, route_.get());
    if (status != hal::noErr) {
        print_("❌ [AudioDeviceService] Failed to register device change listener: " +
               formatStatus(status));
        logger_.error("❌ Failed to register device change listener: " + formatStatus(status));
        return;
    }
    listenerRegistered_ = true;
    print_("✅ [AudioDeviceService] Device change listener registered successfully!");
    logger_.info("✅ Device change listener registered");
}

hal::OSStatus AudioDeviceService::deviceChangeListenerProc(
    hal::AudioObjectID /*object*/, hal::UInt32 /*numberAddresses*/,
    const hal::AudioObjectPropertyAddress* /*addresses*/, void* clientData) {
    const auto* route = static_cast<const ListenerRoute*>(clientData);
    route->print("🔊 [CoreAudio] DEVICE CHANGED! Native callback triggered!");
    // The block may run after the service is gone; it needs only the centre, which outlives it.
    route->mainQueue->post(
        [center = route->notificationCenter] { center->post(kDeviceChangedNotification); });
    return hal::noErr;
}

void AudioDeviceService::handleDeviceChanged() {
    print_("🔊 [AudioDeviceService] Device change notification received!");
    defaultOutputDeviceChanged_.send(ChangeEvent{});
}

std::vector<AudioDevice> AudioDeviceService::getAllDevices() const {
    const hal::AudioObjectPropertyAddress address{hal::kAudioHardwarePropertyDevices,
                                                  hal::kAudioObjectPropertyScopeGlobal,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::UInt32 size = 0;
    hal::OSStatus status = hal::AudioObjectGetPropertyDataSize(hal::kAudioObjectSystemObject,
                                                               &address, 0, nullptr, &size);
    if (status != hal::noErr) {
        logger_.error("Failed to get device count: " + formatStatus(status));
        return {};
    }
    std::vector<hal::AudioObjectID> ids(size / sizeof(hal::AudioObjectID), 0);
    size = static_cast<hal::UInt32>(ids.size() * sizeof(hal::AudioObjectID));
    status = hal::AudioObjectGetPropertyData(hal::kAudioObjectSystemObject, &address, 0, nullptr,
                                             &size, ids.data());
    if (status != hal::noErr) {
        logger_.error("Failed to get devices: " + formatStatus(status));
        return {};
    }
    // The list may have shrunk between the two calls; only what was written counts.
    ids.resize(size / sizeof(hal::AudioObjectID));

    std::vector<AudioDevice> devices;
    for (const hal::AudioObjectID id : ids) {
        if (auto device = readDevice(id)) {
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

std::vector<AudioDevice> AudioDeviceService::getOutputDevices() const {
    std::vector<AudioDevice> outputs;
    for (auto& device : getAllDevices()) {
        if (device.isOutput && !device.isBrimolavetrix() && !device.isBlackHole()) {
            outputs.push_back(std::move(device));
        }
    }
    return outputs;
}

std::optional<AudioDevice> AudioDeviceService::findBrimolavetrixDevice() const {
    const auto devices = getAllDevices();
    for (const auto& device : devices) {
        if (device.isBrimolavetrix() && device.isInput) {
            return device;
        }
    }
    for (const auto& device : devices) {
        if (device.isBlackHole() && device.isInput) {
            return device;
        }
    }
    return std::nullopt;
}

std::optional<AudioDevice> AudioDeviceService::getDevice(std::uint32_t id) const {
    return readDevice(id);
}

std::optional<AudioDevice> AudioDeviceService::getDefaultOutputDevice() const {
    hal::AudioDeviceID id = hal::kAudioObjectUnknown;
    hal::UInt32 size = sizeof(id);
    if (hal::AudioObjectGetPropertyData(hal::kAudioObjectSystemObject, &kDefaultOutputAddress, 0,
                                        nullptr, &size, &id) != hal::noErr) {
        return std::nullopt;
    }
    return getDevice(id);
}

bool AudioDeviceService::setDefaultOutputDevice(std::uint32_t id) {
    const hal::AudioDeviceID device = id;
    const hal::OSStatus status = hal::AudioObjectSetPropertyData(
        hal::kAudioObjectSystemObject, &kDefaultOutputAddress, 0, nullptr, sizeof(device), &device);
    if (status != hal::noErr) {
        logger_.error("Failed to set the default output device " + formatDeviceId(device) + ": " +
                      formatStatus(status));
        return false;
    }
    return true;
}

bool AudioDeviceService::isBrimolavetrixSelectedAsSystemOutput() const {
    const auto device = getDefaultOutputDevice();
    return device && (device->isBrimolavetrix() || device->isBlackHole());
}

}  // namespace brimo::audio
