#include "account/update/RunningVersion.h"

#ifndef BRIMO_APP_VERSION
#define BRIMO_APP_VERSION ""
#endif

namespace brimo::account {

std::string versionOrDefault(std::string_view buildVersion) {
    return buildVersion.empty() ? std::string("1.0.0") : std::string(buildVersion);
}

std::string runningVersion() {
    return versionOrDefault(BRIMO_APP_VERSION);
}

}  // namespace brimo::account
