#include "support/AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local std::uint64_t allocations = 0;
thread_local int openScopes = 0;

void* allocate(std::size_t size) {
    if (openScopes > 0) {  // counted
        ++allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}

namespace brimo::testing {

CountAllocations::CountAllocations() : start_(allocations) {
    ++openScopes;
}
CountAllocations::~CountAllocations() {
    --openScopes;
}
std::uint64_t CountAllocations::count() const {
    return allocations - start_;
}

}  // namespace brimo::testing
