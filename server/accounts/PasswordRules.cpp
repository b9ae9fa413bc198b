#include "accounts/PasswordRules.h"

#include <cstdint>

namespace brimo::server {
namespace {

// Counts code points; -1 for malformed UTF-8.
std::ptrdiff_t countCodePoints(std::string_view text) {
    std::ptrdiff_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (lead < 0x80) {
            length = 1;
            value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return -1;
        }
        if (i + length > text.size()) {
            return -1;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return -1;
            }
            value = (value << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return -1;
        }
        i += length;
        ++count;
    }
    return count;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    return countCodePoints(text) >= 0;
}

std::optional<std::string> newPasswordProblem(std::string_view password) {
    if (password.size() > kMaximumPasswordBytes) {
        return "Password is too long (at most 1024 bytes).";
    }
    const auto characters = countCodePoints(password);
    if (characters < 0) {
        return "Password is not valid text.";
    }
    if (static_cast<std::size_t>(characters) < kMinimumPasswordCharacters) {
        return "Password must be at least 8 characters.";
    }
    return std::nullopt;
}

}  // namespace brimo::server
