#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "audio/devices/AudioDevice.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/hal/AudioObject.h"
#include "platform/log/UnifiedLog.h"
#include "platform/notification/NotificationCenter.h"
#include "platform/observable/Subject.h"

namespace brimo::audio {

// The only reader of the hardware layer's device list: turns audio objects into AudioDevice
// records, finds the loopback device the engine captures, lists the real outputs the user may
// play to, and tells whether the system output is a loopback device. It keeps no cache: every
// query reads the hardware afresh, and none changes any state.
//
// It also carries changes of the system's default output to the main thread: a property
// listener on the system object schedules a main-queue block that posts "AudioDeviceChanged" on
// the notification centre, and the service turns each such notification into one event of
// defaultOutputDeviceChanged().
class AudioDeviceService {
  public:
    using ChangeEvent = std::monostate;

    static constexpr const char* kDeviceChangedNotification = "AudioDeviceChanged";

    struct Options {
        // Where the listener's notification is posted; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // Standard output unless given.
        console::LineWriter print;
        // The process's default centre unless given; must outlive the service.
        notification::NotificationCenter* notificationCenter = nullptr;
    };

    explicit AudioDeviceService(Options options);
    // Removes the listener (when one was registered), then the notification observer.
    ~AudioDeviceService();

    AudioDeviceService(const AudioDeviceService&) = delete;
    AudioDeviceService& operator=(const AudioDeviceService&) = delete;

    // Every device with a name, a UID and at least one stream direction, in platform order.
    [[nodiscard]] std::vector<AudioDevice> getAllDevices() const;
    // The real outputs offered to the user: outputs that are no loopback device.
    [[nodiscard]] std::vector<AudioDevice> getOutputDevices() const;
    // The first capturing device of the system's own, else the first capturing BlackHole one.
    [[nodiscard]] std::optional<AudioDevice> findBrimolavetrixDevice() const;
    [[nodiscard]] std::optional<AudioDevice> getDevice(std::uint32_t id) const;
    [[nodiscard]] std::optional<AudioDevice> getDefaultOutputDevice() const;
    [[nodiscard]] bool isBrimolavetrixSelectedAsSystemOutput() const;
    // Makes the device the system's default output; false (and a log line) when the hardware
    // layer refuses. The change listener then reports it like any other.
    bool setDefaultOutputDevice(std::uint32_t id);

    // One empty event per "AudioDeviceChanged" notification, on the main thread; only current
    // subscribers receive it.
    observable::Subject<ChangeEvent>& defaultOutputDeviceChanged() {
        return defaultOutputDeviceChanged_;
    }
    [[nodiscard]] bool listenerRegistered() const { return listenerRegistered_; }

    // One empty event per change of the device list (a device added or removed, the audio
    // server gone or back), on the main thread; only current subscribers receive it.
    observable::Subject<ChangeEvent>& deviceListChanged() { return *deviceListChanged_; }

  private:
    // What the listener needs, at a fixed address handed to the hardware layer as client data.
    struct ListenerRoute {
        dispatch::MainQueue* mainQueue;
        notification::NotificationCenter* notificationCenter;
        console::LineWriter print;
    };

    // The device-list listener's client data: the subject is held weakly, so a change
    // delivered after the service is gone reaches nobody.
    struct DeviceListRoute {
        dispatch::MainQueue* mainQueue;
        std::weak_ptr<observable::Subject<ChangeEvent>> subject;
    };

    void registerDeviceChangeListener();
    void registerDeviceListListener();
    static hal::OSStatus deviceListListenerProc(hal::AudioObjectID object,
                                                hal::UInt32 numberAddresses,
                                                const hal::AudioObjectPropertyAddress* addresses,
                                                void* clientData);
    void handleDeviceChanged();
    static hal::OSStatus deviceChangeListenerProc(hal::AudioObjectID object,
                                                  hal::UInt32 numberAddresses,
                                                  const hal::AudioObjectPropertyAddress* addresses,
                                                  void* clientData);

    log::Logger logger_;
    observable::Subject<ChangeEvent> defaultOutputDeviceChanged_;
    bool listenerRegistered_ = false;
    console::LineWriter print_;
    notification::NotificationCenter& notificationCenter_;
    std::unique_ptr<ListenerRoute> route_;
    std::shared_ptr<observable::Subject<ChangeEvent>> deviceListChanged_ =
        std::make_shared<observable::Subject<ChangeEvent>>();
    std::unique_ptr<DeviceListRoute> deviceListRoute_;
    bool deviceListListenerRegistered_ = false;
};

}  // namespace brimo::audio
