#include "ui/account/input/CharacterCount.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <memory>

namespace brimo::ui::signin {

std::size_t userPerceivedLength(std::string_view utf8) {
    if (utf8.empty()) {
        return 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    // Character boundaries do not depend on the language; the root locale keeps that explicit.
    std::unique_ptr<icu::BreakIterator> boundaries(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    if (U_FAILURE(status) || !boundaries) {
        utext_close(text);
        // Without ICU's data every code point stands for itself; never fewer than that.
        std::size_t points = 0;
        for (const char c : utf8) {
            points += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
        }
        return points;
    }
    boundaries->setText(text, status);
    std::size_t count = 0;
    for (auto at = boundaries->next(); at != icu::BreakIterator::DONE; at = boundaries->next()) {
        ++count;
    }
    utext_close(text);
    return count;
}

}  // namespace brimo::ui::signin
