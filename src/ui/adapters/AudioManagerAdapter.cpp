#include "ui/adapters/AudioManagerAdapter.h"

#include <QPointer>
#include <QVariantMap>
#include <algorithm>
#include <utility>

namespace brimo::ui {

namespace {

QVariant messageValue(const std::optional<std::string>& message) {
    return message ? QVariant(QString::fromStdString(*message)) : QVariant();
}

}  // namespace

AudioManagerAdapter::AudioManagerAdapter(std::shared_ptr<audio::AudioManager> manager,
                                         QObject* parent)
    : QObject(parent), manager_(std::move(manager)) {
    auto& m = *manager_;
    mirror(m.isActive(), isActive_, &AudioManagerAdapter::isActiveChanged);
    mirror(m.isDriverInstalled(), isDriverInstalled_,
           &AudioManagerAdapter::isDriverInstalledChanged);
    mirror(m.isBrimolavetrixSelectedAsOutput(), isBrimolaSelected_,
           &AudioManagerAdapter::isBrimolavetrixSelectedAsOutputChanged);
    mirror(m.isInstallingDriver(), isInstallingDriver_,
           &AudioManagerAdapter::isInstallingDriverChanged);
    mirror(m.outputDevices(), outputDevices_, &AudioManagerAdapter::outputDevicesChanged);
    mirror(m.selectedOutputDevice(), selected_, &AudioManagerAdapter::selectedOutputDeviceChanged);
    subscriptions_.push_back(m.audioLevel().subscribe([this](const float& level) {
        if (static_cast<double>(level) != audioLevel_) {
            audioLevel_ = level;
            Q_EMIT audioLevelChanged();
        }
    }));
    subscriptions_.push_back(m.volume().subscribe([this](const float& volume) {
        if (static_cast<double>(volume) != volume_) {
            volume_ = volume;
            Q_EMIT volumeChanged();
        }
    }));
}

AudioManagerAdapter::~AudioManagerAdapter() = default;

template <typename T, typename Signal>
void AudioManagerAdapter::mirror(observable::Published<T>& source, T& copy, Signal changed) {
    subscriptions_.push_back(source.subscribe([this, &copy, changed](const T& value) {
        if (!(value == copy)) {
            copy = value;
            Q_EMIT(this->*changed)();
        }
    }));
}

void AudioManagerAdapter::setVolume(double volume) {
    // The slider's range is the manager's: 0.0 (silent) to 2.0 (double gain).
    manager_->setVolume(static_cast<float>(std::clamp(volume, 0.0, 2.0)));
}

QVariantList AudioManagerAdapter::outputDevices() const {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(outputDevices_.size()));
    for (const auto& device : outputDevices_) {
        list.push_back(QVariantMap{{QStringLiteral("id"), device.id},
                                   {QStringLiteral("name"), QString::fromStdString(device.name)}});
    }
    return list;
}

QString AudioManagerAdapter::selectedOutputDeviceName() const {
    return selected_ ? QString::fromStdString(selected_->name) : QString();
}

void AudioManagerAdapter::refreshDevices() {
    manager_->refreshDevices();
}

void AudioManagerAdapter::toggle() {
    manager_->toggle();
}

void AudioManagerAdapter::selectOutputDevice(quint32 deviceId) {
    const auto& devices = manager_->outputDevices().value();
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [deviceId](const auto& d) { return d.id == deviceId; });
    if (found != devices.end()) {
        // A copy: the selection republishes the list the iterator points into.
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
        const audio::AudioDevice device = *found;
        manager_->selectOutputDevice(device);
    }
}

audio::AudioManager::Completion AudioManagerAdapter::completionFor(
    void (AudioManagerAdapter::*completed)(bool, const QVariant&)) {
    // The manager may finish after the window is gone.
    return [self = QPointer<AudioManagerAdapter>(this), completed](
               bool success, const std::optional<std::string>& message) {
        if (self) {
            Q_EMIT(self->*completed)(success, messageValue(message));
        }
    };
}

void AudioManagerAdapter::autoInstallDriverIfNeeded() {
    manager_->autoInstallDriverIfNeeded(completionFor(&AudioManagerAdapter::autoInstallCompleted));
}

void AudioManagerAdapter::installDriver() {
    manager_->installDriver(completionFor(&AudioManagerAdapter::installCompleted));
}

bool AudioManagerAdapter::useBrimolaVetrixAsOutput() {
    const auto device = manager_->deviceService().findBrimolavetrixDevice();
    if (!device || !manager_->deviceService().setDefaultOutputDevice(device->id)) {
        return false;
    }
    manager_->refreshDevices();
    return true;
}

}  // namespace brimo::ui
