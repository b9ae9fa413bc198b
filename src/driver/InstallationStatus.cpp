#include "driver/InstallationStatus.h"

namespace brimo::driver {

std::string describe(const InstallationStatus& status) {
    using Kind = InstallationStatus::Kind;
    switch (status.kind()) {
        case Kind::unknown:
            return "unknown";
        case Kind::checking:
            return "checking";
        case Kind::notInstalled:
            return "notInstalled";
        case Kind::installed:
            return "installed";
        case Kind::installing:
            return "installing";
        case Kind::installationSuccessful:
            return "installationSuccessful";
        case Kind::installationFailed:
            return "installationFailed(" + status.message() + ")";
        case Kind::requiresRestart:
            return "requiresRestart";
    }
    return "unknown";
}

}  // namespace brimo::driver
