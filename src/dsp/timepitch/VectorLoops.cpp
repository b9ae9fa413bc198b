#include "dsp/timepitch/VectorLoops.h"

#include <atomic>

namespace brimo::timepitch {

namespace {

std::atomic<bool> allowed{true};

}  // namespace

bool processorHasVectorLoops() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}

bool vectorLoopsEnabled() {
    return allowed.load(std::memory_order_relaxed) && processorHasVectorLoops();
}

void allowVectorLoops(bool allowedNow) {
    allowed.store(allowedNow, std::memory_order_relaxed);
}

}  // namespace brimo::timepitch
