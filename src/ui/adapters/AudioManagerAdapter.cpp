#include "ui/adapters/AudioManagerAdapter.h"

#include <QPointer>
#include <QVariantMap>
#include <algorithm>
#include <utility>

#include "ui/adapters/PublishedMirror.h"

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
    const auto widened = [](const float& value) { return static_cast<double>(value); };
    subscriptions_.push_back(mirrorPublished(m.audioLevel(), audioLevel_, this,
                                             &AudioManagerAdapter::audioLevelChanged, widened));
    subscriptions_.push_back(
        mirrorPublished(m.volume(), volume_, this, &AudioManagerAdapter::volumeChanged, widened));
}

AudioManagerAdapter::~AudioManagerAdapter() = default;

template <typename T>
void AudioManagerAdapter::mirror(observable::Published<T>& source, T& copy,
                                 void (AudioManagerAdapter::*changed)()) {
    subscriptions_.push_back(mirrorPublished(source, copy, this, changed));
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
