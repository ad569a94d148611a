#pragma once

#include <cstdio>
#include <cstdlib>

namespace korvane::fuzz {

// A property every input must keep. A broken one ends the run like a crash, so that libFuzzer
// keeps the input that broke it.
inline void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz property broken: %s\n", what);
        std::abort();
    }
}

}  // namespace korvane::fuzz
