#include "accounts/PasswordHasher.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <thread>

#include "accounts/SecureToken.h"

namespace brimo::server {
namespace {

unsigned gateSize(unsigned configured) {
    const unsigned n = configured != 0 ? configured : std::thread::hardware_concurrency();
    return std::clamp(n, 1U, 1024U);
}

// Holds one place of the gate for a scope.
class GatePlace {
  public:
    explicit GatePlace(std::counting_semaphore<1024>& gate) : gate_(gate) { gate_.acquire(); }
    ~GatePlace() { gate_.release(); }
    GatePlace(const GatePlace&) = delete;
    GatePlace& operator=(const GatePlace&) = delete;

  private:
    std::counting_semaphore<1024>& gate_;
};

}  // namespace

PasswordHasher::PasswordHasher(const PasswordHashing& settings)
    : opsLimit_(std::max<std::uint64_t>(settings.opsLimit, crypto_pwhash_OPSLIMIT_MIN)),
      memLimitBytes_(
          std::max<std::size_t>(settings.memLimitKiB * 1024, crypto_pwhash_MEMLIMIT_MIN)),
      gate_(static_cast<std::ptrdiff_t>(gateSize(settings.concurrency))) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not be initialised");
    }
    decoy_ = hash(newSecureToken());
}

std::string PasswordHasher::hash(std::string_view password) {
    std::array<char, crypto_pwhash_STRBYTES> out{};
    {
        GatePlace place(gate_);
        if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), opsLimit_,
                                  memLimitBytes_, crypto_pwhash_ALG_ARGON2ID13) != 0) {
            throw std::runtime_error("password hashing ran out of memory");
        }
    }
    return {out.data()};
}

bool PasswordHasher::verify(std::string_view encoded, std::string_view password) {
    // libsodium wants a NUL-terminated encoding.
    const std::string text(encoded);
    GatePlace place(gate_);
    return crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) == 0;
}

bool PasswordHasher::needsRehash(std::string_view encoded) const {
    const std::string text(encoded);
    return crypto_pwhash_str_needs_rehash(text.c_str(), opsLimit_, memLimitBytes_) != 0;
}

void PasswordHasher::verifyDecoy(std::string_view password) {
    (void)verify(decoy_, password);
}

}  // namespace brimo::server
