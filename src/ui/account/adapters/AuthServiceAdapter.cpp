#include "ui/account/adapters/AuthServiceAdapter.h"

#include <QPointer>
#include <utility>

namespace brimo::ui {

AuthServiceAdapter::AuthServiceAdapter(std::shared_ptr<account::AuthService> service,
                                       QObject* parent)
    : QObject(parent), service_(std::move(service)) {
    subscriptions_.push_back(service_->isAuthenticated().subscribe([this](bool value) {
        if (value != isAuthenticated_) {
            isAuthenticated_ = value;
            Q_EMIT isAuthenticatedChanged();
        }
    }));
    subscriptions_.push_back(service_->isLoading().subscribe([this](bool value) {
        if (value != isLoading_) {
            isLoading_ = value;
            Q_EMIT isLoadingChanged();
        }
    }));
    subscriptions_.push_back(service_->isWaitingForBrowser().subscribe([this](bool value) {
        if (value != isWaitingForBrowser_) {
            isWaitingForBrowser_ = value;
            Q_EMIT isWaitingForBrowserChanged();
        }
    }));
    subscriptions_.push_back(
        service_->error().subscribe([this](const std::optional<std::string>& value) {
            const QString text = value ? QString::fromStdString(*value) : QString();
            const bool has = value.has_value();
            if (has != hasError_ || text != error_) {
                hasError_ = has;
                error_ = text;
                Q_EMIT errorChanged();
            }
        }));
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
