#include "ui/account/adapters/VersionCheckAdapter.h"

#include <QPointer>
#include <utility>

#include "ui/adapters/PublishedMirror.h"

namespace brimo::ui {

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
    subscriptions_.push_back(mirrorPublished(
        service_->updateStatus(), updateStatus_, this, &VersionCheckAdapter::updateStatusChanged,
        [](const account::UpdateStatus& status) {
            return StatusText{phaseName(status.phase()), qtText(status.errorMessage())};
        }));
    subscriptions_.push_back(mirrorPublished(service_->isUpdateAvailable(), isUpdateAvailable_,
                                             this, &VersionCheckAdapter::isUpdateAvailableChanged));
    subscriptions_.push_back(mirrorPublished(service_->downloadURL(), downloadURL_, this,
                                             &VersionCheckAdapter::downloadURLChanged,
                                             &qtOptionalText));
    subscriptions_.push_back(mirrorPublished(service_->releaseNotes(), releaseNotes_, this,
                                             &VersionCheckAdapter::releaseNotesChanged, &qtText));
    subscriptions_.push_back(mirrorPublished(service_->currentVersion(), currentVersion_, this,
                                             &VersionCheckAdapter::currentVersionChanged, &qtText));
    subscriptions_.push_back(mirrorPublished(service_->latestVersion(), latestVersion_, this,
                                             &VersionCheckAdapter::latestVersionChanged, &qtText));
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
