#pragma once

#include <cstdint>

namespace brimo::testing {

// Counts heap allocations made on the threads that asked for it, to show that real-time code
// allocates nothing. A suite that uses it lists AllocationCounter.cpp among its sources, which
// replaces the global operator new for that test program.
class AllocationCounter {
  public:
    // Counts (or stops counting) allocations made on the calling thread.
    static void countThisThread(bool on);
    static std::uint64_t count();
    static void reset();
};

// Counts on the calling thread for its lifetime.
class CountedAllocations {
  public:
    CountedAllocations() {
        AllocationCounter::reset();
        AllocationCounter::countThisThread(true);
    }
    ~CountedAllocations() { AllocationCounter::countThisThread(false); }
    CountedAllocations(const CountedAllocations&) = delete;
    CountedAllocations& operator=(const CountedAllocations&) = delete;
    CountedAllocations(CountedAllocations&&) = delete;
    CountedAllocations& operator=(CountedAllocations&&) = delete;

    [[nodiscard]] std::uint64_t count() const { return AllocationCounter::count(); }
};

}  // namespace brimo::testing
