#include "platform/text/LogFormat.h"

#include <array>
#include <charconv>
#include <string_view>

namespace brimo::text {
namespace {

// A shortest round-trip rendering that already holds a point, an exponent or a non-finite
// word is complete; a bare integer gets ".0" so that the value still reads as a float.
template <typename Float>
std::string formatShortest(Float value) {
    std::array<char, 64> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    std::string text(buffer.data(), error == std::errc{} ? end : buffer.data());
    if (text.find_first_of(".enia") == std::string::npos) {
        text += ".0";
    }
    return text;
}

}  // namespace

std::string formatBool(bool value) {
    return value ? "true" : "false";
}

std::string formatDeviceId(std::uint32_t id) {
    return std::to_string(id);
}

std::string formatStatus(std::int32_t status) {
    return std::to_string(status);
}

std::string formatDouble(double value) {
    return formatShortest(value);
}

std::string formatFloat(float value) {
    return formatShortest(value);
}

}  // namespace brimo::text
