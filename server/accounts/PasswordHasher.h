#pragma once

#include <cstddef>
#include <cstdint>
#include <semaphore>
#include <string>
#include <string_view>

#include "config/ServerConfig.h"

namespace brimo::server {

// argon2id through libsodium. Each hash takes memLimitKiB of memory, so only `concurrency`
// run at once: a burst of logins queues instead of exhausting memory.
class PasswordHasher {
  public:
    explicit PasswordHasher(const PasswordHashing& settings);

    // The encoded hash (algorithm, parameters, salt and digest in one string).
    [[nodiscard]] std::string hash(std::string_view password);

    // True when the password matches. Costs the same as hash() for a well-formed encoding.
    [[nodiscard]] bool verify(std::string_view encoded, std::string_view password);

    // True when the encoding was made with other parameters than the current ones.
    [[nodiscard]] bool needsRehash(std::string_view encoded) const;

    // Verifies against a hash of a random password, so an unknown address costs what a known
    // one does.
    void verifyDecoy(std::string_view password);

  private:
    std::uint64_t opsLimit_;
    std::size_t memLimitBytes_;
    std::counting_semaphore<1024> gate_;
    std::string decoy_;
};

}  // namespace brimo::server
