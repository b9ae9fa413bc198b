#pragma once

#include <filesystem>

#include "platform/secrets/SecretStore.h"

namespace brimo::secrets {

// Secrets as files readable by the user alone (0600 in a 0700 folder), one file per service
// and account, each replaced atomically (a new file renamed over the old one), so a crash
// leaves either the old secret or the new one, never half of one.
class FileSecretStore final : public SecretStore {
  public:
    explicit FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // $XDG_DATA_HOME/brimolavetrix/secrets, else ~/.local/share/brimolavetrix/secrets; empty when
    // not even a home folder is known.
    [[nodiscard]] static std::filesystem::path defaultFolder();

    bool save(std::string_view service, std::string_view account, std::string_view secret) override;
    [[nodiscard]] std::optional<std::string> load(std::string_view service,
                                                  std::string_view account) override;
    bool remove(std::string_view service, std::string_view account) override;
    [[nodiscard]] std::string description() const override;

    // The file that holds the secret of the service and account.
    [[nodiscard]] std::filesystem::path pathFor(std::string_view service,
                                                std::string_view account) const;

  private:
    std::filesystem::path folder_;
};

}  // namespace brimo::secrets
