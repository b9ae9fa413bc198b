#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brimo::driver {

// The text at `key` of the root dictionary of a property-list file (XML or binary), or nothing
// when the file cannot be read or parsed, the root is no dictionary, or the value is no text.
std::optional<std::string> readPropertyListString(const std::filesystem::path& file,
                                                  const std::string& key);

}  // namespace brimo::driver
