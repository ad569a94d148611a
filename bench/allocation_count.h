#pragma once

#include <cstdint>

namespace korvane::bench {

// How many times the benchmark program has allocated from the heap so far: the global operator
// new is replaced for the whole benchmark program, so a benchmark can tell what its work
// allocates.
uint64_t Allocations();

}  // namespace korvane::bench
