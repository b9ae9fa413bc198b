#pragma once

#include <cstdint>

namespace brimo::timepitch::testing {

// Counts the global operator new calls made on this thread while a scope is open.
class AllocationCounter {
  public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    [[nodiscard]] std::int64_t count() const;
};

}  // namespace brimo::timepitch::testing
