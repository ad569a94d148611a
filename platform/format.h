#pragma once

#include <string>

namespace korvane {

// The C library's printf on this platform: MinGW-w64's own, which knows %zu and %lld like the
// GNU one, where Windows' C runtime would not.
#if defined(__MINGW32__)
#define KORVANE_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KORVANE_PRINTF_FORMAT printf
#endif

// printf-style formatting into a string of any length.
std::string StringPrintf(const char* format, ...)
    __attribute__((format(KORVANE_PRINTF_FORMAT, 1, 2)));

}  // namespace korvane
