#include "ui/account/input/EmailAddress.h"

#include <algorithm>

namespace brimo::ui::signin {
namespace {

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLocalPartCharacter(char c) {
    return isAsciiLetter(c) || isAsciiDigit(c) || c == '.' || c == '_' || c == '%' || c == '+' ||
           c == '-';
}

bool isDomainCharacter(char c) {
    return isAsciiLetter(c) || isAsciiDigit(c) || c == '.' || c == '-';
}

}  // namespace

// The pattern read as a language, without a backtracking engine (whose recursion a long pasted
// text could exhaust): neither part may hold an '@', so there is exactly one; the last label is
// letters only, so it follows the last dot, and everything before that dot may hold dots.
bool isValidEmailAddress(std::string_view text) {
    const auto at = text.find('@');
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    const auto local = text.substr(0, at);
    const auto domain = text.substr(at + 1);
    if (!std::all_of(local.begin(), local.end(), isLocalPartCharacter)) {
        return false;
    }
    const auto lastDot = domain.rfind('.');
    if (lastDot == std::string_view::npos || lastDot == 0) {
        return false;
    }
    const auto host = domain.substr(0, lastDot);
    const auto topLevel = domain.substr(lastDot + 1);
    return std::all_of(host.begin(), host.end(), isDomainCharacter) && topLevel.size() >= 2 &&
           topLevel.size() <= 64 && std::all_of(topLevel.begin(), topLevel.end(), isAsciiLetter);
}

}  // namespace brimo::ui::signin
