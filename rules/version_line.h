#pragma once

#include <string_view>

namespace korvane {

// The program's version as players are told it: the first line of the greeting and the answer
// to "~version".
inline constexpr std::string_view kVersionLine =
    "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)";

}  // namespace korvane
