#pragma once

#include <string_view>

namespace brimo::ui::signin {

// Whether the whole text, exactly as typed, is an address of the form
// [A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,64}: anchored at both ends, nothing trimmed.
bool isValidEmailAddress(std::string_view text);

}  // namespace brimo::ui::signin
