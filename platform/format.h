#pragma once

#include <string>

namespace korvane {

// printf-style formatting into a string of any length.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvane
