#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/devices/AudioDevice.h"
#include "audio/manager/AudioManager.h"
#include "platform/observable/Subscription.h"

namespace brimo::ui {

// The audio manager as the views see it: its published values as Qt properties (announced
// only when they really change, so a poll that finds nothing new redraws nothing) and its
// operations as invokables. No decision is taken here; the manager keeps the logic.
class AudioManagerAdapter : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(AudioManager)
    QML_UNCREATABLE("The application hands its one audio manager to the views")

    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)
    Q_PROPERTY(double audioLevel READ audioLevel NOTIFY audioLevelChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    // Each entry: { id: device ID, name: device name }, in the manager's order.
    Q_PROPERTY(QVariantList outputDevices READ outputDevices NOTIFY outputDevicesChanged)
    Q_PROPERTY(bool hasSelectedOutputDevice READ hasSelectedOutputDevice NOTIFY
                   selectedOutputDeviceChanged)
    Q_PROPERTY(quint32 selectedOutputDeviceId READ selectedOutputDeviceId NOTIFY
                   selectedOutputDeviceChanged)
    Q_PROPERTY(QString selectedOutputDeviceName READ selectedOutputDeviceName NOTIFY
                   selectedOutputDeviceChanged)
    Q_PROPERTY(bool isDriverInstalled READ isDriverInstalled NOTIFY isDriverInstalledChanged)
    Q_PROPERTY(bool isBrimolavetrixSelectedAsOutput READ isBrimolavetrixSelectedAsOutput NOTIFY
                   isBrimolavetrixSelectedAsOutputChanged)
    Q_PROPERTY(bool isInstallingDriver READ isInstallingDriver NOTIFY isInstallingDriverChanged)

  public:
    explicit AudioManagerAdapter(std::shared_ptr<audio::AudioManager> manager,
                                 QObject* parent = nullptr);
    ~AudioManagerAdapter() override;
    AudioManagerAdapter(const AudioManagerAdapter&) = delete;
    AudioManagerAdapter& operator=(const AudioManagerAdapter&) = delete;
    AudioManagerAdapter(AudioManagerAdapter&&) = delete;
    AudioManagerAdapter& operator=(AudioManagerAdapter&&) = delete;

    [[nodiscard]] bool isActive() const { return isActive_; }
    [[nodiscard]] double audioLevel() const { return audioLevel_; }
    [[nodiscard]] double volume() const { return volume_; }
    void setVolume(double volume);
    [[nodiscard]] QVariantList outputDevices() const;
    [[nodiscard]] bool hasSelectedOutputDevice() const { return selected_.has_value(); }
    [[nodiscard]] quint32 selectedOutputDeviceId() const { return selected_ ? selected_->id : 0; }
    [[nodiscard]] QString selectedOutputDeviceName() const;
    [[nodiscard]] bool isDriverInstalled() const { return isDriverInstalled_; }
    [[nodiscard]] bool isBrimolavetrixSelectedAsOutput() const { return isBrimolaSelected_; }
    [[nodiscard]] bool isInstallingDriver() const { return isInstallingDriver_; }

    Q_INVOKABLE void refreshDevices();
    Q_INVOKABLE void toggle();
    // A device of outputDevices, by ID; an ID no longer listed is ignored.
    Q_INVOKABLE void selectOutputDevice(quint32 deviceId);
    // The completions arrive as autoInstallCompleted / installCompleted; the message is
    // undefined when the manager gave none.
    Q_INVOKABLE void autoInstallDriverIfNeeded();
    Q_INVOKABLE void installDriver();
    // Makes "Brimola Vetrix" the system output; false when there is no such device or the
    // audio server refused.
    Q_INVOKABLE bool useBrimolaVetrixAsOutput();

    audio::AudioManager& manager() { return *manager_; }

  Q_SIGNALS:
    void isActiveChanged();
    void audioLevelChanged();
    void volumeChanged();
    void outputDevicesChanged();
    void selectedOutputDeviceChanged();
    void isDriverInstalledChanged();
    void isBrimolavetrixSelectedAsOutputChanged();
    void isInstallingDriverChanged();
    void autoInstallCompleted(bool success, const QVariant& message);
    void installCompleted(bool success, const QVariant& message);

  private:
    template <typename T>
    void mirror(observable::Published<T>& source, T& copy, void (AudioManagerAdapter::*changed)());
    audio::AudioManager::Completion completionFor(
        void (AudioManagerAdapter::*completed)(bool, const QVariant&));

    std::shared_ptr<audio::AudioManager> manager_;
    std::vector<observable::Subscription> subscriptions_;

    bool isActive_ = false;
    double audioLevel_ = 0.0;
    double volume_ = 1.0;
    std::vector<audio::AudioDevice> outputDevices_;
    std::optional<audio::AudioDevice> selected_;
    bool isDriverInstalled_ = false;
    bool isBrimolaSelected_ = false;
    bool isInstallingDriver_ = false;
};

}  // namespace brimo::ui
