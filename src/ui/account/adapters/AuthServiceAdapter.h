#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "account/auth/AuthService.h"
#include "platform/observable/Subscription.h"

namespace brimo::ui {

// The account service as the views see it: its state as Qt properties, announced only when
// they really change, its operations as invokables whose results come back as signals. The
// service keeps the logic; nothing here decides.
class AuthServiceAdapter : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(AuthService)
    QML_UNCREATABLE("The application hands its one account service to the views")

    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool hasError READ hasError NOTIFY errorChanged)
    // The last failure's text; empty while there is none.
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    // Google sign-in waits for the browser: the progress panel offers "Cancel".
    Q_PROPERTY(bool isWaitingForBrowser READ isWaitingForBrowser NOTIFY isWaitingForBrowserChanged)

  public:
    explicit AuthServiceAdapter(std::shared_ptr<account::AuthService> service,
                                QObject* parent = nullptr);
    ~AuthServiceAdapter() override;
    AuthServiceAdapter(const AuthServiceAdapter&) = delete;
    AuthServiceAdapter& operator=(const AuthServiceAdapter&) = delete;
    AuthServiceAdapter(AuthServiceAdapter&&) = delete;
    AuthServiceAdapter& operator=(AuthServiceAdapter&&) = delete;

    [[nodiscard]] bool isAuthenticated() const { return isAuthenticated_; }
    [[nodiscard]] bool isLoading() const { return isLoading_; }
    [[nodiscard]] bool hasError() const { return error_.has_value(); }
    [[nodiscard]] QString error() const { return error_.value_or(QString()); }
    [[nodiscard]] bool isWaitingForBrowser() const { return isWaitingForBrowser_; }

    // Results arrive as emailChecked, loginFinished, registerFinished, forgotPasswordFinished.
    Q_INVOKABLE void checkEmail(const QString& email);
    Q_INVOKABLE void login(const QString& email, const QString& password);
    Q_INVOKABLE void registerAccount(const QString& email, const QString& password);
    Q_INVOKABLE void forgotPassword(const QString& email);
    Q_INVOKABLE void signInWithGoogle();
    Q_INVOKABLE void cancelGoogleSignIn();
    Q_INVOKABLE void logout();

    account::AuthService& service() { return *service_; }

  Q_SIGNALS:
    void isAuthenticatedChanged();
    void isLoadingChanged();
    void errorChanged();
    void isWaitingForBrowserChanged();
    void emailChecked(bool exists);
    void loginFinished(bool success);
    void registerFinished(bool success);
    void forgotPasswordFinished(bool accepted);

  private:
    // A completion that reaches this adapter only while it still exists.
    account::AuthService::BoolCompletion completion(void (AuthServiceAdapter::*finished)(bool));

    std::shared_ptr<account::AuthService> service_;
    std::vector<observable::Subscription> subscriptions_;

    bool isAuthenticated_ = false;
    bool isLoading_ = false;
    bool isWaitingForBrowser_ = false;
    std::optional<QString> error_;
};

}  // namespace brimo::ui
