#pragma once

#include <string>
#include <string_view>

namespace brimo::account {

// The dotted version of this build, shown to users: the project's version at configuration
// time, "1.0.0" when the build has none.
std::string runningVersion();

// `buildVersion`, or "1.0.0" when it is empty.
std::string versionOrDefault(std::string_view buildVersion);

}  // namespace brimo::account
