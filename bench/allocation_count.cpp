#include "bench/allocation_count.h"

#include <cstdlib>
#include <new>

namespace {
uint64_t allocations = 0;  // the benchmarks run on one thread
}  // namespace

namespace korvane::bench {

uint64_t Allocations() {
    return allocations;
}

}  // namespace korvane::bench

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
