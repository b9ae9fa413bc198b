#pragma once

#include <cstdint>

namespace brimo::testing {

// Counts heap allocations made by the calling thread while a scope is open. Linking
// AllocationCounter.cpp into a test binary replaces the global operator new to do the
// counting.
class CountAllocations {
  public:
    CountAllocations();
    ~CountAllocations();
    CountAllocations(const CountAllocations&) = delete;
    CountAllocations& operator=(const CountAllocations&) = delete;

    [[nodiscard]] std::uint64_t count() const;

  private:
    std::uint64_t start_;
};

}  // namespace brimo::testing
