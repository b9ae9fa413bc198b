#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/secrets/SecretStore.h"

namespace brimo::secrets {

struct SecretAddress {
    std::string service;
    std::string account;
};

// The user's store: the Secret Service when one answers on the session bus, else the file
// store in the data folder (else memory, when not even a home folder is known). The system log
// says which one is used, never what it holds. Secrets at `carriedOver` that the file store
// kept from a session without a Secret Service move into the Secret Service once one answers.
std::shared_ptr<SecretStore> openUserSecretStore(const std::vector<SecretAddress>& carriedOver);

}  // namespace brimo::secrets
