#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tools/variant_inspection.h"

namespace korvane::tools {

// `text` as a JSON string, quotes included. Texts are 8-bit: every byte of 0x80 and above is
// the Latin-1 character of that value (\u00XX), control characters are escaped too.
std::string JsonString(std::string_view text);

// The inspections as one JSON document: an array with one object per file.
std::string RenderJson(std::span<const Inspection> inspections);

}  // namespace korvane::tools
