#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "account/update/VersionCheckService.h"
#include "platform/observable/Subscription.h"

namespace brimo::ui {

// The update checker as the views see it. `isUpdateAvailable` is also written by the view:
// dismissing the update alert puts it back to false.
class VersionCheckAdapter : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(VersionCheck)
    QML_UNCREATABLE("The application hands its one update checker to the views")

    // "idle", "checking", "upToDate", "updateAvailable" or "error".
    Q_PROPERTY(QString updateStatus READ updateStatus NOTIFY updateStatusChanged)
    Q_PROPERTY(QString updateErrorMessage READ updateErrorMessage NOTIFY updateStatusChanged)
    Q_PROPERTY(bool isUpdateAvailable READ isUpdateAvailable WRITE setIsUpdateAvailable NOTIFY
                   isUpdateAvailableChanged)
    Q_PROPERTY(bool hasDownloadURL READ hasDownloadURL NOTIFY downloadURLChanged)
    Q_PROPERTY(QString downloadURL READ downloadURL NOTIFY downloadURLChanged)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY releaseNotesChanged)
    Q_PROPERTY(QString currentVersion READ currentVersion NOTIFY currentVersionChanged)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)

  public:
    explicit VersionCheckAdapter(std::shared_ptr<account::VersionCheckService> service,
                                 QObject* parent = nullptr);
    ~VersionCheckAdapter() override;
    VersionCheckAdapter(const VersionCheckAdapter&) = delete;
    VersionCheckAdapter& operator=(const VersionCheckAdapter&) = delete;
    VersionCheckAdapter(VersionCheckAdapter&&) = delete;
    VersionCheckAdapter& operator=(VersionCheckAdapter&&) = delete;

    [[nodiscard]] QString updateStatus() const { return updateStatus_.phase; }
    [[nodiscard]] QString updateErrorMessage() const { return updateStatus_.errorMessage; }
    [[nodiscard]] bool isUpdateAvailable() const { return isUpdateAvailable_; }
    void setIsUpdateAvailable(bool value);
    [[nodiscard]] bool hasDownloadURL() const { return downloadURL_.has_value(); }
    [[nodiscard]] QString downloadURL() const { return downloadURL_.value_or(QString()); }
    [[nodiscard]] QString releaseNotes() const { return releaseNotes_; }
    [[nodiscard]] QString currentVersion() const { return currentVersion_; }
    [[nodiscard]] QString latestVersion() const { return latestVersion_; }

    // Starts a check and returns its number; checkFinished(number) follows when it is done.
    Q_INVOKABLE int checkForUpdates();

    // The status phase as the views name it.
    static QString phaseName(account::UpdateStatus::Phase phase);

  Q_SIGNALS:
    void updateStatusChanged();
    void isUpdateAvailableChanged();
    void downloadURLChanged();
    void releaseNotesChanged();
    void currentVersionChanged();
    void latestVersionChanged();
    void checkFinished(int check);

  private:
    // The status as the views read it: its phase's name and the error's text.
    struct StatusText {
        QString phase;
        QString errorMessage;
        bool operator==(const StatusText&) const = default;
    };

    std::shared_ptr<account::VersionCheckService> service_;
    std::vector<observable::Subscription> subscriptions_;
    int nextCheck_ = 1;

    StatusText updateStatus_{QStringLiteral("idle"), QString()};
    bool isUpdateAvailable_ = false;
    std::optional<QString> downloadURL_;
    QString releaseNotes_;
    QString currentVersion_;
    QString latestVersion_;
};

}  // namespace brimo::ui
