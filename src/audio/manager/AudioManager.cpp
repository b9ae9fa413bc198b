// Construction, subscriptions, volume and the driver entry points of the audio manager.
#include "audio/manager/AudioManager.h"

#include "audio/effects/SoundEffectService.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatBool;

std::shared_ptr<AudioManager> AudioManager::create(Options options) {
    std::shared_ptr<AudioManager> manager(new AudioManager(options));
    // The subscriptions hold the manager weakly, which needs the owning pointer to exist.
    manager->initialize(options);
    return manager;
}

AudioManager::AudioManager(Options& options)
    : mainQueue_(*options.mainQueue),
      debugLog_("AudioManager", options.logDirectory),
      soundEffectsSource_(std::move(options.soundEffects)) {}

void AudioManager::initialize(Options& options) {
    deviceService_ = std::make_unique<AudioDeviceService>(AudioDeviceService::Options{
        &mainQueue_, std::move(options.print), options.notificationCenter});
    audioEngine_ = AudioEngineService::create(AudioEngineService::Options{
        &mainQueue_, std::move(options.logDirectory), std::move(options.engineSleep)});
    driverService_ = options.driverService ? options.driverService()
                                           : driver::DriverInstallationService::shared(mainQueue_);

    log("🎛️ [INIT] AudioManager initializing...");
    audioEngine_->setup();
    logAllDevices();
    subscribe();
    log("🎛️ [INIT] AudioManager initialized");
}

template <typename T, typename Handler>
observable::Subscription AudioManager::receiveOnMainQueue(observable::Published<T>& source,
                                                          Handler handler) {
    // Every value, the current one included, is handed on through the main queue, so it
    // arrives on a later turn and never inside the code that published it.
    return source.subscribe([queue = &mainQueue_, weak = weak_from_this(),
                             handler = std::move(handler)](const T& value) {
        queue->post([weak, handler, value] {
            if (auto self = weak.lock()) {
                handler(*self, value);
            }
        });
    });
}

void AudioManager::subscribe() {
    cancellables_.push_back(
        receiveOnMainQueue(driverService_->isDriverInstalled(), [](AudioManager& self, bool v) {
            self.log("🎛️ [OBSERVE] Driver installed status changed: " + formatBool(v));
            self.isDriverInstalled_ = v;
            if (v) {
                self.refreshDevices();
                self.checkAndStartEngine();
            }
        }));
    cancellables_.push_back(
        receiveOnMainQueue(driverService_->installationStatus(),
                           [](AudioManager& self, const driver::InstallationStatus& status) {
                               self.driverInstallationStatus_ = status;
                           }));
    cancellables_.push_back(
        receiveOnMainQueue(audioEngine_->audioLevel(),
                           [](AudioManager& self, float level) { self.audioLevel_ = level; }));
    cancellables_.push_back(deviceService_->defaultOutputDeviceChanged().subscribe(
        [queue = &mainQueue_, weak = weak_from_this()](const AudioDeviceService::ChangeEvent&) {
            queue->post([weak] {
                if (auto self = weak.lock()) {
                    self->log("🔊 [DEVICE_CHANGE] Native callback: System output device changed!");
                    self->refreshDevices();
                }
            });
        }));
    // Both are sent on the main thread already, from a task of their own.
    cancellables_.push_back(audioEngine_->deviceIOLost().subscribe(
        [weak = weak_from_this()](const AudioEngineService::DeviceIOLost& lost) {
            if (auto self = weak.lock()) {
                self->handleDeviceIOLost(lost);
            }
        }));
    cancellables_.push_back(deviceService_->deviceListChanged().subscribe(
        [weak = weak_from_this()](const AudioDeviceService::ChangeEvent&) {
            if (auto self = weak.lock()) {
                self->handleDeviceListChanged();
            }
        }));
}

void AudioManager::setVolume(float volume) {
    volume_ = volume;
    audioEngine_->setVolume(volume);
}

void AudioManager::installDriver(Completion completion) {
    log("🎛️ [INSTALL] Starting driver installation...");
    isInstallingDriver_ = true;
    driverService_->installDriver(
        [queue = &mainQueue_, weak = weak_from_this(), completion = std::move(completion)](
            bool success, std::optional<std::string> message) {
            queue->post([weak, completion, success, message = std::move(message)] {
                if (auto self = weak.lock()) {
                    self->log("🎛️ [INSTALL] Installation complete: success=" +
                              formatBool(success) + ", message=" + message.value_or("nil"));
                    self->isInstallingDriver_ = false;
                    if (success) {
                        self->refreshDevices();
                    }
                }
                if (completion) {
                    completion(success, message);
                }
            });
        });
}

void AudioManager::autoInstallDriverIfNeeded(Completion completion) {
    log("🎛️ [AUTO_INSTALL] Checking if auto-install needed...");
    if (hasAttemptedAutoInstall_.value()) {
        log("🎛️ [AUTO_INSTALL] Already attempted, skipping");
        return;
    }
    hasAttemptedAutoInstall_ = true;
    driverService_->checkDriverInstallation();
    if (driverService_->isDriverInstalled().value()) {
        log("🎛️ [AUTO_INSTALL] Driver already installed");
        refreshDevices();
        if (isDriverInstalled_.value()) {
            refreshDevices();
        }
        return;
    }
    log("🎛️ [AUTO_INSTALL] Driver not installed, starting installation...");
    installDriver(std::move(completion));
}

SoundEffectPlayer& AudioManager::soundEffects() {
    if (soundEffectsSource_) {
        return soundEffectsSource_();
    }
    return SoundEffectService::shared(mainQueue_);
}

}  // namespace brimo::audio
