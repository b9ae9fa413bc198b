#include "platform/text/PrintableText.h"

#include <array>
#include <cstdio>

namespace brimo::text {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // C1 controls arrive as U+0080..U+009F, encoded 0xC2 0x80..0x9F.
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) {
            const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : byte;
            std::array<char, 8> escape{};
            std::snprintf(escape.data(), escape.size(), c1 ? "\\u%04x" : "\\x%02x", code);
            out += escape.data();
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace brimo::text
