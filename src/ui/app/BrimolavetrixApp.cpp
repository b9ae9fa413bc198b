#include "ui/app/BrimolavetrixApp.h"

#include <QQuickStyle>
#include <QQuickWindow>

#include "platform/browser/DesktopEntry.h"
#include "platform/hal/TimePitchUnit.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "platform/paths/UserDirectories.h"

namespace brimo::ui {

BrimolavetrixApp::BrimolavetrixApp(int& argc, char** argv, browser::InstanceLaunch launch)
    : application_(argc, argv), launch_(std::move(launch)) {
    QGuiApplication::setApplicationName(QStringLiteral("Brimolavetrix"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Brimola Vetrix"));
    QGuiApplication::setOrganizationDomain(QStringLiteral("brimolavetrix.com"));
    QGuiApplication::setDesktopFileName(QStringLiteral(BRIMO_DESKTOP_ID));
    // The views draw every control themselves; the plain style keeps them cheap and the same on
    // every desktop.
    QQuickStyle::setStyle(QStringLiteral("Basic"));

    backend_ =
        std::make_unique<hal::ScopedAudioHardwareBackend>(hal::pulse::PulseAudioBackend::create());
    hal::registerTimePitchComponent();

    audio::AudioManager::Options options;
    options.mainQueue = &mainQueue_;
    audioManager_ = audio::AudioManager::create(std::move(options));

    // Before the manager's first refresh: if the last quit moved the system output off the
    // virtual device, it goes back now and the engine starts as if it had never left.
    appLog_ = std::make_unique<audio::DiagnosticLog>("BrimolavetrixApp");
    const auto stateDirectory = paths::stateDirectory();
    outputRestorer_ = std::make_unique<audio::SystemOutputRestorer>(
        audioManager_->deviceService(),
        audio::SystemOutputRestorer::Options{
            stateDirectory.empty() ? stateDirectory : stateDirectory / "brimolavetrix",
            [log = appLog_.get()](std::string_view line) { log->debugLog(line); }});
    outputRestorer_->restoreAfterStart();
    // If this process ends without its quit, the guard does what the quit would have done.
    crashGuard_ = CrashGuard::start(CrashGuard::program());
    if (crashGuard_) {
        guardedOutput_ = audioManager_->selectedOutputDevice().subscribe(
            [guard = crashGuard_.get()](const std::optional<audio::AudioDevice>& device) {
                guard->reportOutput(device ? device->uid : std::string());
            });
    } else {
        appLog_->debugLog("⚠️ [GUARD] The output guard did not start");
    }
    audioManagerAdapter_ = std::make_unique<AudioManagerAdapter>(audioManager_);
    desktopAdapter_ = std::make_unique<DesktopAdapter>();
    // Taking the shared account service restores the session; the update checker's first check
    // starts with it.
    authServiceAdapter_ =
        std::make_unique<AuthServiceAdapter>(account::AuthService::shared(mainQueue_));
    versionCheckAdapter_ =
        std::make_unique<VersionCheckAdapter>(account::VersionCheckService::shared(mainQueue_));
    accountLinksAdapter_ = std::make_unique<AccountLinksAdapter>();
    connectSignInHandOff();

    QObject::connect(&quitSignals_, &QuitSignals::quitRequested, &application_,
                     [] { QGuiApplication::quit(); });
    QObject::connect(&application_, &QGuiApplication::aboutToQuit, &application_,
                     [this] { aboutToQuit(); });

    // The views only borrow them.
    QQmlEngine::setObjectOwnership(audioManagerAdapter_.get(), QQmlEngine::CppOwnership);
    QQmlEngine::setObjectOwnership(desktopAdapter_.get(), QQmlEngine::CppOwnership);
    QQmlEngine::setObjectOwnership(authServiceAdapter_.get(), QQmlEngine::CppOwnership);
    QQmlEngine::setObjectOwnership(versionCheckAdapter_.get(), QQmlEngine::CppOwnership);
    QQmlEngine::setObjectOwnership(accountLinksAdapter_.get(), QQmlEngine::CppOwnership);
    engine_ = std::make_unique<QQmlApplicationEngine>();
    engine_->addImportPath(QStringLiteral("qrc:/"));
    engine_->setInitialProperties({
        {QStringLiteral("audioManager"), QVariant::fromValue(audioManagerAdapter_.get())},
        {QStringLiteral("desktop"), QVariant::fromValue(desktopAdapter_.get())},
        {QStringLiteral("authService"), QVariant::fromValue(authServiceAdapter_.get())},
        {QStringLiteral("versionCheck"), QVariant::fromValue(versionCheckAdapter_.get())},
        {QStringLiteral("accountLinks"), QVariant::fromValue(accountLinksAdapter_.get())},
    });
    QObject::connect(
        engine_.get(), &QQmlApplicationEngine::objectCreationFailed, &application_,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    engine_->load(QUrl(QStringLiteral("qrc:/Brimolavetrix/Main.qml")));
}

BrimolavetrixApp::~BrimolavetrixApp() {
    // No link reaches the account service from here on.
    if (launch_.relay) {
        launch_.relay->setTarget({});
    }
    launch_.channel.reset();
    // The window goes first, then the manager; the engine's units stop before the backend goes.
    engine_.reset();
    accountLinksAdapter_.reset();
    versionCheckAdapter_.reset();
    authServiceAdapter_.reset();
    desktopAdapter_.reset();
    audioManagerAdapter_.reset();
    if (audioManager_) {
        audioManager_->audioEngine().stop();
        audioManager_->audioEngine().waitUntilIdle();
    }
    audioManager_.reset();
    backend_.reset();
}

void BrimolavetrixApp::connectSignInHandOff() {
    const std::weak_ptr<account::AuthService> service = account::AuthService::shared(mainQueue_);
    if (launch_.relay) {
        launch_.relay->setTarget([service, queue = &mainQueue_](std::string link) {
            queue->post([service, link = std::move(link)] {
                if (auto auth = service.lock()) {
                    auth->handOverURL(link);
                }
            });
        });
    }
    // With no sign-in waiting, a link on the command line is ignored (and said so).
    if (launch_.link) {
        mainQueue_.post([service, link = *launch_.link] {
            if (auto auth = service.lock()) {
                auth->handOverURL(link);
            }
        });
    }
    // Run from a build tree, the browser finds this executable through an entry of the user's
    // own; an installed package ships the system-wide one.
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !browser::isInstalledExecutable(executable)) {
        const auto auth = service.lock();
        browser::installUserDesktopEntry(
            {BRIMO_DESKTOP_ID, executable, account::schemeOf(auth->googleRedirectURI())},
            {browser::userApplicationsFolder(), {}, {}});
    }
}

int BrimolavetrixApp::run() {
    return QGuiApplication::exec();
}

void BrimolavetrixApp::aboutToQuit() {
    // However the application ends (window, Ctrl+Q, a signal, the session), sound that reaches
    // the virtual device would go nowhere once it is gone.
    outputRestorer_->handBackBeforeQuit(audioManager_->selectedOutputDevice().value());
    if (crashGuard_) {
        crashGuard_->cleanQuit();
    }
}

}  // namespace brimo::ui
