#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/FifoGate.h"
#include "config/ServerConfig.h"

namespace brimo::server {

// argon2id through libsodium. Each hash takes memLimitKiB of memory, so only `concurrency`
// run at once, in the order they came: a burst of logins queues instead of exhausting memory.
// The queue itself is bounded by time: requests are admitted (before they wait for anything)
// while the hashers can work off those already admitted within `queueSeconds`, so that the
// rest are refused at once rather than answered late.
class PasswordHasher {
  public:
    explicit PasswordHasher(const PasswordHashing& settings);
    virtual ~PasswordHasher() = default;
    PasswordHasher(const PasswordHasher&) = delete;
    PasswordHasher& operator=(const PasswordHasher&) = delete;

    // The encoded hash (algorithm, parameters, salt and digest in one string).
    [[nodiscard]] virtual std::string hash(std::string_view password);

    // True when the password matches. Costs the same as hash() for a well-formed encoding.
    [[nodiscard]] virtual bool verify(std::string_view encoded, std::string_view password);

    // True when the encoding was made with other parameters than the current ones.
    [[nodiscard]] bool needsRehash(std::string_view encoded) const;

    // Verifies against a hash of a random password, so an unknown address costs what a known
    // one does.
    void verifyDecoy(std::string_view password);

    // One request's place among those admitted to hash; given back when it goes.
    class Admission {
      public:
        explicit Admission(std::atomic<std::size_t>& admitted) : admitted_(&admitted) {}
        ~Admission() {
            if (admitted_ != nullptr) {
                admitted_->fetch_sub(1);
            }
        }
        Admission(Admission&& other) noexcept : admitted_(other.admitted_) {
            other.admitted_ = nullptr;
        }
        Admission(const Admission&) = delete;
        Admission& operator=(const Admission&) = delete;
        Admission& operator=(Admission&&) = delete;

      private:
        std::atomic<std::size_t>* admitted_;
    };

    // A place for a request that is about to hash, or none when queueLimit() requests already
    // have one.
    [[nodiscard]] std::optional<Admission> admit();
    // How many requests may hold a place at once.
    [[nodiscard]] std::size_t queueLimit() const;
    // The whole seconds the requests now admitted will take to be worked off (at least 1).
    [[nodiscard]] unsigned secondsToWorkOff() const;
    // The recent time of one hash, in seconds.
    [[nodiscard]] double secondsPerHash() const { return secondsPerHash_.load(); }
    [[nodiscard]] unsigned concurrency() const { return concurrency_; }

  protected:
    // Times `work` (one hash) inside the gate and folds its time into secondsPerHash().
    template <typename Work>
    auto timed(Work&& work);

  private:
    std::uint64_t opsLimit_;
    std::size_t memLimitBytes_;
    unsigned concurrency_;
    double queueSeconds_;
    std::size_t fixedQueueLimit_;
    FifoGate gate_;
    std::atomic<double> secondsPerHash_{0.0};
    std::atomic<std::size_t> admitted_{0};
    std::string decoy_;
};

}  // namespace brimo::server
