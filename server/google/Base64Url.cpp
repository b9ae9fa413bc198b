#include "google/Base64Url.h"

#include <sodium.h>

namespace brimo::server {

std::optional<std::string> decodeBase64Url(std::string_view text) {
    std::string out(text.size() * 3 / 4 + 1, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

}  // namespace brimo::server
