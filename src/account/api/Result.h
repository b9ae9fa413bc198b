#pragma once

#include <utility>
#include <variant>

#include "account/api/APIError.h"

namespace brimo::account {

// The outcome of one request: the decoded record, or the failure.
template <typename T>
class Result {
  public:
    // NOLINTBEGIN(google-explicit-constructor): a value or an error is a result as it stands
    Result(T value) : outcome_(std::move(value)) {}
    Result(RequestError error) : outcome_(std::move(error)) {}
    // NOLINTEND(google-explicit-constructor)

    [[nodiscard]] bool isSuccess() const { return std::holds_alternative<T>(outcome_); }
    // Only when isSuccess().
    [[nodiscard]] const T& value() const { return std::get<T>(outcome_); }
    // Only when !isSuccess().
    [[nodiscard]] const RequestError& error() const { return std::get<RequestError>(outcome_); }

  private:
    std::variant<T, RequestError> outcome_;
};

}  // namespace brimo::account
