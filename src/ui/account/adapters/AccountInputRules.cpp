#include "ui/account/adapters/AccountInputRules.h"

#include "ui/account/input/CharacterCount.h"
#include "ui/account/input/EmailAddress.h"

namespace brimo::ui {

int AccountInputRules::minimumPasswordLength() {
    return static_cast<int>(signin::minimumPasswordLength);
}

bool AccountInputRules::isValidEmail(const QString& text) {
    return signin::isValidEmailAddress(text.toStdString());
}

int AccountInputRules::userPerceivedLength(const QString& text) {
    return static_cast<int>(signin::userPerceivedLength(text.toStdString()));
}

}  // namespace brimo::ui
