#pragma once

#include <memory>

#include "platform/secrets/SecretStore.h"

namespace brimo::secrets {

// Items of the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) through libsecret,
// in the default collection, with the attributes "service" and "account". Secrets are stored
// as bytes, so any text (non-ASCII, embedded NUL) comes back unchanged.
class SecretServiceStore final : public SecretStore {
  public:
    // A store when a Secret Service answers on the session bus now; otherwise none, with the
    // reason in `whyNot` (never a secret).
    static std::unique_ptr<SecretServiceStore> connect(std::string* whyNot = nullptr);

    bool save(std::string_view service, std::string_view account, std::string_view secret) override;
    [[nodiscard]] std::optional<std::string> load(std::string_view service,
                                                  std::string_view account) override;
    bool remove(std::string_view service, std::string_view account) override;
    [[nodiscard]] std::string description() const override { return "Secret Service"; }

    // How many items the service holds for the service and account (normally 0 or 1).
    [[nodiscard]] int countItems(std::string_view service, std::string_view account) const;

  private:
    SecretServiceStore() = default;
};

}  // namespace brimo::secrets
