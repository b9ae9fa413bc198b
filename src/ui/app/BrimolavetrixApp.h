#pragma once

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <memory>

#include "audio/manager/AudioManager.h"
#include "audio/manager/SystemOutputRestorer.h"
#include "platform/browser/InstanceLaunch.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "ui/account/adapters/AccountLinksAdapter.h"
#include "ui/account/adapters/AuthServiceAdapter.h"
#include "ui/account/adapters/VersionCheckAdapter.h"
#include "ui/adapters/AudioManagerAdapter.h"
#include "ui/adapters/DesktopAdapter.h"
#include "ui/app/QuitSignals.h"
#include "ui/dispatch/QtMainQueue.h"
#include "ui/lifecycle/CrashGuard.h"

namespace brimo::ui {

// The process entry: the desktop's audio server as the hardware layer's backend, our pitch
// shifter registered as the time-pitch component, the main queue on the Qt event loop, the one
// audio manager of the process, and the window with the main screen.
class BrimolavetrixApp {
  public:
    // `launch`: this process's place on the single-instance channel (the instance's end, if it
    // holds it) and the link it was started with.
    BrimolavetrixApp(int& argc, char** argv, browser::InstanceLaunch launch = {});
    ~BrimolavetrixApp();
    BrimolavetrixApp(const BrimolavetrixApp&) = delete;
    BrimolavetrixApp& operator=(const BrimolavetrixApp&) = delete;
    BrimolavetrixApp(BrimolavetrixApp&&) = delete;
    BrimolavetrixApp& operator=(BrimolavetrixApp&&) = delete;

    // Runs until the window closes, Ctrl+Q, a quit signal or the session's end.
    int run();

    audio::AudioManager& audioManager() { return *audioManager_; }

  private:
    void aboutToQuit();
    // Google sign-in's way back: the desktop entry for the callback scheme, and links from the
    // channel or the command line to the account service.
    void connectSignInHandOff();

    QGuiApplication application_;
    // Declared before everything that posts to it, so it is destroyed last.
    QtMainQueue mainQueue_;
    std::unique_ptr<hal::ScopedAudioHardwareBackend> backend_;
    std::shared_ptr<audio::AudioManager> audioManager_;
    std::unique_ptr<AudioManagerAdapter> audioManagerAdapter_;
    std::unique_ptr<DesktopAdapter> desktopAdapter_;
    std::unique_ptr<audio::DiagnosticLog> appLog_;
    std::unique_ptr<audio::SystemOutputRestorer> outputRestorer_;
    std::unique_ptr<CrashGuard> crashGuard_;
    observable::Subscription guardedOutput_;
    std::unique_ptr<AuthServiceAdapter> authServiceAdapter_;
    std::unique_ptr<VersionCheckAdapter> versionCheckAdapter_;
    std::unique_ptr<AccountLinksAdapter> accountLinksAdapter_;
    browser::InstanceLaunch launch_;
    QuitSignals quitSignals_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
};

}  // namespace brimo::ui
