#pragma once

#include <compare>
#include <string_view>

namespace brimo::account {

// Orders version texts the way people read them: runs of digits by their numeric value
// (1.10.0 after 1.9.2, 2.0 after 1.9.9), everything else character by character, no locale.
std::strong_ordering compareVersions(std::string_view left, std::string_view right);

// Whether `candidate` orders after `running`.
inline bool isNewerVersion(std::string_view candidate, std::string_view running) {
    return compareVersions(candidate, running) == std::strong_ordering::greater;
}

}  // namespace brimo::account
