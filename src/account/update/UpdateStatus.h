#pragma once

#include <string>
#include <variant>

namespace brimo::account {

// Phase and outcome of the latest update check.
class UpdateStatus {
  public:
    enum class Phase { idle, checking, upToDate, updateAvailable, error };

    static UpdateStatus idle() { return UpdateStatus(Phase::idle); }
    static UpdateStatus checking() { return UpdateStatus(Phase::checking); }
    static UpdateStatus upToDate() { return UpdateStatus(Phase::upToDate); }
    static UpdateStatus updateAvailable() { return UpdateStatus(Phase::updateAvailable); }
    static UpdateStatus error(std::string message) {
        return UpdateStatus(Phase::error, std::move(message));
    }

    UpdateStatus() = default;

    [[nodiscard]] Phase phase() const { return phase_; }
    // The failure's text when phase() is error; empty otherwise.
    [[nodiscard]] const std::string& errorMessage() const { return message_; }

    bool operator==(const UpdateStatus&) const = default;

  private:
    explicit UpdateStatus(Phase phase, std::string message = {})
        : phase_(phase), message_(std::move(message)) {}

    Phase phase_ = Phase::idle;
    std::string message_;
};

}  // namespace brimo::account
