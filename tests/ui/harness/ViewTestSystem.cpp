#include "ui/harness/ViewTestSystem.h"

#include <QDir>
#include <QQmlEngine>
#include <QStringList>
#include <filesystem>
#include <fstream>

#include "driver/DriverInstallationService.h"
#include "platform/privileged/StandInPrivilegedRunner.h"

namespace brimo::testing {

namespace {

// Restarting the "server" after an installation brings up the virtual device.
class DeviceCreatingRestarter final : public driver::AudioServerRestarter {
  public:
    explicit DeviceCreatingRestarter(std::shared_ptr<hal::sim::SimulatedAudioBackend> sim)
        : sim_(std::move(sim)) {}
    void restartForUserSession(driver::AudioServerKind /*kind*/) override {
        sim_->addDevice(hal::sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix"));
    }

  private:
    std::shared_ptr<hal::sim::SimulatedAudioBackend> sim_;
};

}  // namespace

ViewTestSystem::ViewTestSystem(QObject* parent) : QObject(parent) {
    screenshotDir_ = qEnvironmentVariable("BRIMO_UI_SCREENSHOTS");
    if (screenshotDir_.isEmpty()) {
        screenshotDir_ = QDir::currentPath() + QStringLiteral("/ui-screenshots");
    }
    QDir().mkpath(screenshotDir_);
}

ViewTestSystem::~ViewTestSystem() {
    tearDown();
}

void ViewTestSystem::stop() {
    if (manager_) {
        manager_->audioEngine().stop();
        manager_->audioEngine().waitUntilIdle();
    }
}

void ViewTestSystem::tearDown() {
    adapter_.reset();
    desktop_.reset();
    if (manager_) {
        manager_->audioEngine().stop();
        manager_->audioEngine().waitUntilIdle();
        manager_.reset();
    }
    installation_.reset();
    sim_.reset();
    folders_.reset();
}

QObject* ViewTestSystem::start(const QVariantMap& options) {
    tearDown();
    sounds_.activations = 0;
    sounds_.deactivations = 0;
    folders_ = std::make_unique<QTemporaryDir>();
    const std::filesystem::path folders = folders_->path().toStdString();
    std::filesystem::create_directories(folders / "documents");
    sim_ = std::make_shared<hal::sim::SimulatedAudioBackend>(hal::sim::ClockMode::stepped);
    installation_ = std::make_unique<hal::ScopedAudioHardwareBackend>(sim_);

    const QStringList outputs =
        options.value(QStringLiteral("outputs"), QStringList{"Speakers"}).toStringList();
    for (const auto& name : outputs) {
        addOutput(name);
    }
    if (options.value(QStringLiteral("driverInstalled"), true).toBool()) {
        const auto loop = sim_->addDevice(
            hal::sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix"));
        if (options.value(QStringLiteral("brimolaIsDefault"), true).toBool()) {
            sim_->setDefaultOutputDevice(loop);
        }
    }

    const bool refuse = options.value(QStringLiteral("install")).toString() == "refuse";
    auto runner = std::make_shared<privileged::StandInPrivilegedRunner>(
        refuse ? privileged::StandInPrivilegedRunner::Behaviour::refuse
               : privileged::StandInPrivilegedRunner::Behaviour::runAsCurrentUser,
        refuse ? std::optional<std::string>("Request dismissed") : std::nullopt);

    logLines_ = std::make_shared<std::vector<std::string>>();
    audio::AudioManager::Options managerOptions;
    managerOptions.mainQueue = &mainQueue_;
    managerOptions.logDirectory = [folders] { return folders / "documents"; };
    managerOptions.engineSleep = [](std::chrono::duration<double>) {};
    managerOptions.soundEffects = [this]() -> audio::SoundEffectPlayer& { return sounds_; };
    managerOptions.print = [lines = logLines_](std::string_view line) {
        lines->emplace_back(line);
    };
    managerOptions.notificationCenter = &notifications_;
    managerOptions.driverService = [this, folders, runner] {
        driver::DriverInstallationService::Options driverOptions;
        driverOptions.mainQueue = &mainQueue_;
        driverOptions.privilegedRunner = runner;
        driverOptions.resources = resources::ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
        driverOptions.halPluginsPath = folders / "plug-ins";
        driverOptions.configurationRoot = folders / "etc";
        driverOptions.detectAudioServer = [] { return driver::AudioServerKind::pipewire; };
        driverOptions.restarter = std::make_shared<DeviceCreatingRestarter>(sim_);
        driverOptions.print = [lines = logLines_](std::string_view line) {
            lines->emplace_back(line);
        };
        return driver::DriverInstallationService::create(std::move(driverOptions));
    };
    manager_ = audio::AudioManager::create(std::move(managerOptions));
    adapter_ = std::make_unique<ui::AudioManagerAdapter>(manager_);

    const QStringList programs = options.value(QStringLiteral("desktopPrograms")).toStringList();
    desktop_ = std::make_unique<ui::DesktopAdapter>(
        nullptr, [](const QStringList&) { return true; },
        [programs](const QString& program) { return programs.contains(program); },
        options.value(QStringLiteral("desktop"), QStringLiteral("GNOME")).toString());
    // Handed to QML by a method, they would otherwise belong to its garbage collector.
    QQmlEngine::setObjectOwnership(adapter_.get(), QQmlEngine::CppOwnership);
    QQmlEngine::setObjectOwnership(desktop_.get(), QQmlEngine::CppOwnership);
    return adapter_.get();
}

hal::AudioDeviceID ViewTestSystem::deviceNamed(const QString& name) const {
    for (const auto& device : manager_->deviceService().getAllDevices()) {
        if (QString::fromStdString(device.name) == name) {
            return device.id;
        }
    }
    return hal::kAudioObjectUnknown;
}

void ViewTestSystem::setDefaultOutput(const QString& name) {
    sim_->setDefaultOutputDevice(deviceNamed(name));
}

void ViewTestSystem::addOutput(const QString& name) {
    sim_->addDevice(
        hal::sim::DeviceConfig::speakers(name.toStdString(), name.toLower().toStdString()));
}

void ViewTestSystem::removeDevice(const QString& name) {
    sim_->removeDevice(deviceNamed(name));
}

QString ViewTestSystem::defaultOutputName() const {
    const auto device = manager_->deviceService().getDefaultOutputDevice();
    return device ? QString::fromStdString(device->name) : QString();
}

double ViewTestSystem::engineFrequency() const {
    return manager_->targetFrequency().value();
}

int ViewTestSystem::refreshCount() const {
    // The manager writes one such line to its diagnostic log for every refresh it runs.
    std::ifstream log(std::filesystem::path(folders_->path().toStdString()) / "documents" /
                      std::string(audio::DiagnosticLog::kFileName));
    int count = 0;
    std::string line;
    while (std::getline(log, line)) {
        count += line.find("[REFRESH] Refreshing devices...") != std::string::npos ? 1 : 0;
    }
    return count;
}

}  // namespace brimo::testing
