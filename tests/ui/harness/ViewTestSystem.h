#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>
#include <memory>
#include <vector>

#include "audio/effects/SoundEffectPlayer.h"
#include "audio/manager/AudioManager.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/sim/SimulatedAudioBackend.h"
#include "platform/notification/NotificationCenter.h"
#include "ui/adapters/AudioManagerAdapter.h"
#include "ui/adapters/DesktopAdapter.h"
#include "ui/dispatch/QtMainQueue.h"

namespace brimo::testing {

class CountingSounds final : public audio::SoundEffectPlayer {
  public:
    void playActivationSound() override { ++activations; }
    void playDeactivationSound() override { ++deactivations; }
    int activations = 0;
    int deactivations = 0;
};

// What the view tests drive: a fresh simulated system and audio manager per test (on the real
// Qt main queue), its adapter for the views, a desktop whose launches are recorded, and the
// folder screenshots go to.
class ViewTestSystem : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString screenshotDir READ screenshotDir CONSTANT)
    Q_PROPERTY(int activationClicks READ activationClicks)
    Q_PROPERTY(int deactivationClicks READ deactivationClicks)
    Q_PROPERTY(int refreshCount READ refreshCount)

  public:
    explicit ViewTestSystem(QObject* parent = nullptr);
    ~ViewTestSystem() override;
    ViewTestSystem(const ViewTestSystem&) = delete;
    ViewTestSystem& operator=(const ViewTestSystem&) = delete;
    ViewTestSystem(ViewTestSystem&&) = delete;
    ViewTestSystem& operator=(ViewTestSystem&&) = delete;

    // Options: driverInstalled (true), brimolaIsDefault (true), outputs (["Speakers"]),
    // install ("succeed" | "refuse"), desktopPrograms ([] on the PATH), desktop ("GNOME").
    // Returns the manager's adapter; the previous system is torn down first (its views are
    // gone by then: a test's temporary objects die when the test ends).
    Q_INVOKABLE QObject* start(const QVariantMap& options);
    Q_INVOKABLE QObject* desktop() const { return desktop_.get(); }
    // Stops the engine; the manager and its adapter stay for the views still showing them.
    Q_INVOKABLE void stop();

    Q_INVOKABLE void setDefaultOutput(const QString& name);
    Q_INVOKABLE void addOutput(const QString& name);
    Q_INVOKABLE void removeDevice(const QString& name);
    Q_INVOKABLE QString defaultOutputName() const;
    Q_INVOKABLE double engineFrequency() const;

    [[nodiscard]] QString screenshotDir() const { return screenshotDir_; }
    [[nodiscard]] int activationClicks() const { return sounds_.activations; }
    [[nodiscard]] int deactivationClicks() const { return sounds_.deactivations; }
    [[nodiscard]] int refreshCount() const;

  private:
    void tearDown();
    [[nodiscard]] hal::AudioDeviceID deviceNamed(const QString& name) const;

    ui::QtMainQueue mainQueue_;
    // One for the whole run, as the application's is for the process: a device change seen
    // just before a test ends reaches it on the main queue after that test's system is gone.
    notification::NotificationCenter notifications_;
    QString screenshotDir_;
    std::unique_ptr<QTemporaryDir> folders_;
    std::shared_ptr<hal::sim::SimulatedAudioBackend> sim_;
    std::unique_ptr<hal::ScopedAudioHardwareBackend> installation_;
    CountingSounds sounds_;
    std::shared_ptr<audio::AudioManager> manager_;
    std::unique_ptr<ui::AudioManagerAdapter> adapter_;
    std::unique_ptr<ui::DesktopAdapter> desktop_;
    std::shared_ptr<std::vector<std::string>> logLines_;
};

}  // namespace brimo::testing
