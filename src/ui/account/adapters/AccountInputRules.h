#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>

namespace brimo::ui {

// The sign-in overlay's input checks, for the views.
class AccountInputRules : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(AccountInput)
    QML_SINGLETON

    Q_PROPERTY(int minimumPasswordLength READ minimumPasswordLength CONSTANT)

  public:
    explicit AccountInputRules(QObject* parent = nullptr) : QObject(parent) {}

    [[nodiscard]] static int minimumPasswordLength();
    Q_INVOKABLE static bool isValidEmail(const QString& text);
    Q_INVOKABLE static int userPerceivedLength(const QString& text);
};

}  // namespace brimo::ui
