// Alone in its file, so that a test build of the application can link its own definition in
// place of this one and leave the shipped application with nothing to configure.
#include "account/auth/GoogleConfiguration.h"

namespace brimo::account {

GoogleConfiguration GoogleConfiguration::builtIn() {
    return {BRIMO_GOOGLE_CLIENT_ID, BRIMO_GOOGLE_AUTH_URL, BRIMO_GOOGLE_TOKEN_URL, std::nullopt};
}

}  // namespace brimo::account
