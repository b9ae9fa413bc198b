#include "ui/account/harness/AccountTestSystem.h"

#include <QDir>
#include <QQmlEngine>

#include "account/api/APIService.h"
#include "account/auth/AuthService.h"
#include "account/update/VersionCheckService.h"
#include "platform/browser/BrowserAuthenticationSession.h"
#include "platform/secrets/MemorySecretStore.h"

namespace brimo::testing {

AccountTestSystem::AccountTestSystem(QObject* parent)
    : QObject(parent), service_(std::make_unique<ReferenceServiceProcess>(folder_.path())) {
    screenshotDir_ = qEnvironmentVariable("BRIMO_UI_SCREENSHOTS");
    if (screenshotDir_.isEmpty()) {
        screenshotDir_ = QDir::currentPath() + QStringLiteral("/ui-screenshots/account");
    }
    QDir().mkpath(screenshotDir_);
}

AccountTestSystem::~AccountTestSystem() {
    tearDown();
    service_->stop();
}

void AccountTestSystem::tearDown() {
    links_.reset();
    versionCheck_.reset();
    auth_.reset();
    authService_.reset();
}

bool AccountTestSystem::start(const QVariantMap& options) {
    tearDown();
    openedUrls_.clear();
    proxy_.release();
    if (!service_->isRunning() && !service_->start()) {
        return false;
    }
    proxy_.setTargetPort(service_->port());
    if (!proxy_.isListening() && !proxy_.listen(service_->port())) {
        return false;
    }

    account::APIService::Options api;
    api.mainQueue = &mainQueue_;
    api.baseURL = "http://127.0.0.1:" + std::to_string(proxy_.port()) + "/api";
    // A test that restarts the application keeps the stored session.
    if (!options.value(QStringLiteral("keepSession")).toBool() || !tokens_) {
        tokens_ = std::make_shared<secrets::MemorySecretStore>();
    }
    api.tokenStore = tokens_;
    api.print = [](std::string_view /*line*/) {};
    auto apiService = account::APIService::create(std::move(api));

    account::AuthService::Options auth;
    auth.mainQueue = &mainQueue_;
    auth.api = apiService;
    // The browser only records the page; a test hands the redirect over itself.
    signInPages_.clear();
    auth.authSession = browser::BrowserAuthenticationSession::create(
        {&mainQueue_,
         [this](const std::string& url) -> std::optional<std::string> {
             signInPages_.append(QString::fromStdString(url));
             return std::nullopt;
         },
         std::chrono::minutes(10), [](std::string_view /*line*/) {}});
    auth.print = [](std::string_view /*line*/) {};
    authService_ = account::AuthService::create(std::move(auth));
    auth_ = std::make_unique<ui::AuthServiceAdapter>(authService_);

    account::VersionCheckService::Options check;
    check.mainQueue = &mainQueue_;
    check.api = apiService;
    check.currentVersion =
        options.value(QStringLiteral("currentVersion"), latestVersion()).toString().toStdString();
    check.print = [](std::string_view /*line*/) {};
    versionCheck_ = std::make_unique<ui::VersionCheckAdapter>(
        account::VersionCheckService::create(std::move(check)));

    links_ = std::make_unique<ui::AccountLinksAdapter>(nullptr, [this](const QUrl& url) {
        openedUrls_.append(url.toString());
        Q_EMIT urlOpened();
    });
    for (QObject* object :
         {static_cast<QObject*>(auth_.get()), static_cast<QObject*>(versionCheck_.get()),
          static_cast<QObject*>(links_.get())}) {
        QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    }
    Q_EMIT restarted();
    return true;
}

bool AccountTestSystem::handOver(const QString& url) {
    return authService_ && authService_->handOverURL(url.toStdString());
}

QString AccountTestSystem::freshAddress() {
    return QStringLiteral("listener.%1@example.org").arg(++addresses_);
}

void AccountTestSystem::stopService() {
    service_->stop();
    proxy_.close();
}

}  // namespace brimo::testing
