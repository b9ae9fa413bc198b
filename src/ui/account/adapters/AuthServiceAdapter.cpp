#include "ui/account/adapters/AuthServiceAdapter.h"

#include <QPointer>
#include <utility>

#include "ui/adapters/PublishedMirror.h"

namespace brimo::ui {

AuthServiceAdapter::AuthServiceAdapter(std::shared_ptr<account::AuthService> service,
                                       QObject* parent)
    : QObject(parent), service_(std::move(service)) {
    subscriptions_.push_back(mirrorPublished(service_->isAuthenticated(), isAuthenticated_, this,
                                             &AuthServiceAdapter::isAuthenticatedChanged));
    subscriptions_.push_back(mirrorPublished(service_->isLoading(), isLoading_, this,
                                             &AuthServiceAdapter::isLoadingChanged));
    subscriptions_.push_back(mirrorPublished(service_->isWaitingForBrowser(), isWaitingForBrowser_,
                                             this,
                                             &AuthServiceAdapter::isWaitingForBrowserChanged));
    subscriptions_.push_back(mirrorPublished(service_->error(), error_, this,
                                             &AuthServiceAdapter::errorChanged, &qtOptionalText));
}

AuthServiceAdapter::~AuthServiceAdapter() = default;

account::AuthService::BoolCompletion AuthServiceAdapter::completion(
    void (AuthServiceAdapter::*finished)(bool)) {
    return [self = QPointer<AuthServiceAdapter>(this), finished](bool result) {
        if (self) {
            Q_EMIT(self->*finished)(result);
        }
    };
}

void AuthServiceAdapter::checkEmail(const QString& email) {
    service_->checkEmail(email.toStdString(), completion(&AuthServiceAdapter::emailChecked));
}

void AuthServiceAdapter::login(const QString& email, const QString& password) {
    service_->login(email.toStdString(), password.toStdString(),
                    completion(&AuthServiceAdapter::loginFinished));
}

void AuthServiceAdapter::registerAccount(const QString& email, const QString& password) {
    service_->registerAccount(email.toStdString(), password.toStdString(),
                              completion(&AuthServiceAdapter::registerFinished));
}

void AuthServiceAdapter::forgotPassword(const QString& email) {
    service_->forgotPassword(email.toStdString(),
                             completion(&AuthServiceAdapter::forgotPasswordFinished));
}

void AuthServiceAdapter::signInWithGoogle() {
    service_->signInWithGoogle();
}

void AuthServiceAdapter::cancelGoogleSignIn() {
    service_->cancelGoogleSignIn();
}

void AuthServiceAdapter::logout() {
    service_->logout();
}

}  // namespace brimo::ui
