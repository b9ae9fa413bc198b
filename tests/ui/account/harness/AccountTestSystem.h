#pragma once

#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <memory>

#include "account/auth/AuthService.h"
#include "platform/secrets/SecretStore.h"
#include "ui/account/adapters/AccountLinksAdapter.h"
#include "ui/account/adapters/AuthServiceAdapter.h"
#include "ui/account/adapters/VersionCheckAdapter.h"
#include "ui/account/harness/HoldingProxy.h"
#include "ui/account/harness/ReferenceServiceProcess.h"
#include "ui/dispatch/QtMainQueue.h"

namespace brimo::testing {

// The account side the views are tested against: the real reference web service in a private
// folder on a free loopback port, behind a relay that can hold requests; per test a fresh
// account service, update checker and links (whose openings are recorded) through it.
class AccountTestSystem : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* authService READ authService NOTIFY restarted)
    Q_PROPERTY(QObject* versionCheck READ versionCheck NOTIFY restarted)
    Q_PROPERTY(QObject* links READ links NOTIFY restarted)
    Q_PROPERTY(QStringList openedUrls READ openedUrls NOTIFY urlOpened)
    // Read afresh each time: tryCompare polls it.
    Q_PROPERTY(int heldCount READ heldCount)
    Q_PROPERTY(int mailCount READ mailCount)
    Q_PROPERTY(QString latestVersion READ latestVersion CONSTANT)
    Q_PROPERTY(QString screenshotDir READ screenshotDir CONSTANT)

  public:
    explicit AccountTestSystem(QObject* parent = nullptr);
    ~AccountTestSystem() override;
    AccountTestSystem(const AccountTestSystem&) = delete;
    AccountTestSystem& operator=(const AccountTestSystem&) = delete;
    AccountTestSystem(AccountTestSystem&&) = delete;
    AccountTestSystem& operator=(AccountTestSystem&&) = delete;

    // Options: currentVersion (the service's latest, so no update unless given), keepSession
    // (the previous start's stored token stays, as at the application's next start). The service
    // is started again if a test stopped it. False if it does not run.
    Q_INVOKABLE bool start(const QVariantMap& options);
    // An address no account uses yet.
    Q_INVOKABLE QString freshAddress();
    // Stops the service by its process ID and closes the relay: requests are refused.
    Q_INVOKABLE void stopService();
    Q_INVOKABLE void holdRequests() { proxy_.hold(); }
    Q_INVOKABLE void releaseRequests() { proxy_.release(); }
    // A link as a second start of the application hands it over (the browser's redirect).
    Q_INVOKABLE bool handOver(const QString& url);
    // The Google sign-in page the "browser" was sent to last; empty before any.
    Q_INVOKABLE QString lastSignInPage() const {
        return signInPages_.value(signInPages_.size() - 1);
    }

    [[nodiscard]] QObject* authService() const { return auth_.get(); }
    [[nodiscard]] QObject* versionCheck() const { return versionCheck_.get(); }
    [[nodiscard]] QObject* links() const { return links_.get(); }
    [[nodiscard]] QStringList openedUrls() const { return openedUrls_; }
    [[nodiscard]] int heldCount() const { return proxy_.heldCount(); }
    [[nodiscard]] int mailCount() const { return service_->mailCount(); }
    [[nodiscard]] static QString latestVersion() { return QStringLiteral("2.0.0"); }
    [[nodiscard]] QString screenshotDir() const { return screenshotDir_; }

  Q_SIGNALS:
    void restarted();
    void urlOpened();

  private:
    void tearDown();

    ui::QtMainQueue mainQueue_;
    QTemporaryDir folder_;
    std::unique_ptr<ReferenceServiceProcess> service_;
    HoldingProxy proxy_;
    QString screenshotDir_;
    int addresses_ = 0;
    QStringList openedUrls_;
    QStringList signInPages_;
    std::shared_ptr<account::AuthService> authService_;
    std::shared_ptr<secrets::SecretStore> tokens_;
    std::unique_ptr<ui::AuthServiceAdapter> auth_;
    std::unique_ptr<ui::VersionCheckAdapter> versionCheck_;
    std::unique_ptr<ui::AccountLinksAdapter> links_;
};

}  // namespace brimo::testing
