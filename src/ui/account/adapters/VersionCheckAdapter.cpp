#include "ui/account/adapters/VersionCheckAdapter.h"

#include <QPointer>
#include <utility>

namespace brimo::ui {
namespace {

// Keeps `copy` equal to the published text and announces only real changes.
template <typename Signal>
observable::Subscription mirrorText(observable::Published<std::string>& source, QString& copy,
                                    VersionCheckAdapter* adapter, Signal changed) {
    return source.subscribe([&copy, adapter, changed](const std::string& value) {
        const QString text = QString::fromStdString(value);
        if (text != copy) {
            copy = text;
            Q_EMIT(adapter->*changed)();
        }
    });
}

}  // namespace

QString VersionCheckAdapter::phaseName(account::UpdateStatus::Phase phase) {
    using Phase = account::UpdateStatus::Phase;
    switch (phase) {
        case Phase::idle:
            return QStringLiteral("idle");
        case Phase::checking:
            return QStringLiteral("checking");
        case Phase::upToDate:
            return QStringLiteral("upToDate");
        case Phase::updateAvailable:
            return QStringLiteral("updateAvailable");
        case Phase::error:
            return QStringLiteral("error");
    }
    return QStringLiteral("idle");
}

VersionCheckAdapter::VersionCheckAdapter(std::shared_ptr<account::VersionCheckService> service,
                                         QObject* parent)
    : QObject(parent), service_(std::move(service)) {
    subscriptions_.push_back(
        service_->updateStatus().subscribe([this](const account::UpdateStatus& status) {
            const QString phase = phaseName(status.phase());
            const QString message = QString::fromStdString(status.errorMessage());
            if (phase != updateStatus_ || message != updateErrorMessage_) {
                updateStatus_ = phase;
                updateErrorMessage_ = message;
                Q_EMIT updateStatusChanged();
            }
        }));
    subscriptions_.push_back(service_->isUpdateAvailable().subscribe([this](bool value) {
        if (value != isUpdateAvailable_) {
            isUpdateAvailable_ = value;
            Q_EMIT isUpdateAvailableChanged();
        }
    }));
    subscriptions_.push_back(
        service_->downloadURL().subscribe([this](const std::optional<std::string>& value) {
            const QString text = value ? QString::fromStdString(*value) : QString();
            if (value.has_value() != hasDownloadURL_ || text != downloadURL_) {
                hasDownloadURL_ = value.has_value();
                downloadURL_ = text;
                Q_EMIT downloadURLChanged();
            }
        }));
    subscriptions_.push_back(mirrorText(service_->releaseNotes(), releaseNotes_, this,
                                        &VersionCheckAdapter::releaseNotesChanged));
    subscriptions_.push_back(mirrorText(service_->currentVersion(), currentVersion_, this,
                                        &VersionCheckAdapter::currentVersionChanged));
    subscriptions_.push_back(mirrorText(service_->latestVersion(), latestVersion_, this,
                                        &VersionCheckAdapter::latestVersionChanged));
}

VersionCheckAdapter::~VersionCheckAdapter() = default;

void VersionCheckAdapter::setIsUpdateAvailable(bool value) {
    if (service_->isUpdateAvailable().value() != value) {
        service_->isUpdateAvailable() = value;
    }
}

int VersionCheckAdapter::checkForUpdates() {
    const int check = nextCheck_++;
    service_->checkForUpdates([self = QPointer<VersionCheckAdapter>(this), check] {
        if (self) {
            Q_EMIT self->checkFinished(check);
        }
    });
    return check;
}

}  // namespace brimo::ui
