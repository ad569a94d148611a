#pragma once

#include <span>
#include <string>

#include "tools/variant_inspection.h"

namespace korvane::tools {

// The inspections as one JSON document: an array with one object per file. Texts are 8-bit:
// every byte of 0x80 and above is the Latin-1 character of that value; the document holds ASCII
// only, every other character and every control character escaped.
std::string RenderJson(std::span<const Inspection> inspections);

}  // namespace korvane::tools
