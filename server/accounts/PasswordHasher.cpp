#include "accounts/PasswordHasher.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "accounts/SecureToken.h"

namespace brimo::server {
namespace {

unsigned gateSize(unsigned configured) {
    const unsigned n = configured != 0 ? configured : std::thread::hardware_concurrency();
    return std::clamp(n, 1U, 1024U);
}

// The weight of the newest hash in the running mean of their times.
constexpr double kNewestWeight = 0.2;

}  // namespace

template <typename Work>
auto PasswordHasher::timed(Work&& work) {
    const FifoGate::Place place(gate_);
    const auto start = std::chrono::steady_clock::now();
    auto result = std::forward<Work>(work)();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double mean = secondsPerHash_.load();
    // A lost update between two hashes that end together only delays the mean by one sample.
    secondsPerHash_.store(mean <= 0.0 ? seconds
                                      : (mean * (1.0 - kNewestWeight)) + (seconds * kNewestWeight));
    return result;
}

PasswordHasher::PasswordHasher(const PasswordHashing& settings)
    : opsLimit_(std::max<std::uint64_t>(settings.opsLimit, crypto_pwhash_OPSLIMIT_MIN)),
      memLimitBytes_(
          std::max<std::size_t>(settings.memLimitKiB * 1024, crypto_pwhash_MEMLIMIT_MIN)),
      concurrency_(gateSize(settings.concurrency)),
      queueSeconds_(settings.queueSeconds),
      fixedQueueLimit_(settings.queueLimit),
      gate_(concurrency_) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not be initialised");
    }
    decoy_ = PasswordHasher::hash(newSecureToken());  // also the first measure of a hash's time
}

std::string PasswordHasher::hash(std::string_view password) {
    std::array<char, crypto_pwhash_STRBYTES> out{};
    const int rc = timed([&] {
        return crypto_pwhash_str_alg(out.data(), password.data(), password.size(), opsLimit_,
                                     memLimitBytes_, crypto_pwhash_ALG_ARGON2ID13);
    });
    if (rc != 0) {
        throw std::runtime_error("password hashing ran out of memory");
    }
    return {out.data()};
}

bool PasswordHasher::verify(std::string_view encoded, std::string_view password) {
    // libsodium wants a NUL-terminated encoding.
    const std::string text(encoded);
    return timed([&] {
        return crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) == 0;
    });
}

bool PasswordHasher::needsRehash(std::string_view encoded) const {
    const std::string text(encoded);
    return crypto_pwhash_str_needs_rehash(text.c_str(), opsLimit_, memLimitBytes_) != 0;
}

void PasswordHasher::verifyDecoy(std::string_view password) {
    (void)verify(decoy_, password);
}

std::size_t PasswordHasher::queueLimit() const {
    if (fixedQueueLimit_ > 0) {
        return fixedQueueLimit_;
    }
    const double perHash = std::max(secondsPerHash(), 1e-6);
    const double fits = std::floor(concurrency_ * queueSeconds_ / perHash);
    return std::max<std::size_t>(concurrency_, static_cast<std::size_t>(std::min(fits, 1e6)));
}

std::optional<PasswordHasher::Admission> PasswordHasher::admit() {
    const std::size_t limit = queueLimit();
    std::size_t current = admitted_.load();
    do {
        if (current >= limit) {
            return std::nullopt;
        }
    } while (!admitted_.compare_exchange_weak(current, current + 1));
    return Admission(admitted_);
}

unsigned PasswordHasher::secondsToWorkOff() const {
    const double seconds = static_cast<double>(admitted_.load()) * secondsPerHash() /
                           static_cast<double>(concurrency_);
    return std::max(1U, static_cast<unsigned>(std::ceil(seconds)));
}

}  // namespace brimo::server
