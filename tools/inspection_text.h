#pragma once

#include <string>
#include <string_view>

#include "tools/variant_inspection.h"

namespace korvane::tools {

// A text as a terminal can show it safely: printable ASCII as it is, a backslash doubled,
// every other byte as \xNN.
std::string Printable(std::string_view text);

// The inspection of one file for a person to read: one block, the verdict last.
std::string RenderText(const Inspection& seen);

}  // namespace korvane::tools
