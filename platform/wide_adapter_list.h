#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace korvane {

// One adapter as the capture library lists it: the name to open it by and the text shown to the
// operator.
struct AdapterEntry {
    std::string name;
    std::string description;
};

// Writes the wide form of the adapter list: each name as UTF-16LE units (one unit per byte of the
// name) ended by a 16-bit zero, an empty name ending the names; directly after, each description
// as 8-bit text ended by a zero byte, an empty description ending the list. Names and
// descriptions are expected non-empty. When the whole list does not fit, it holds the leading
// adapters that fit whole, name and description alike, and both terminators. Never writes past
// the buffer. Returns the number of bytes written, or nothing (and writes nothing) when the
// buffer cannot hold even the two terminators of an empty list (3 bytes).
std::optional<size_t> WriteWideAdapterList(std::span<const AdapterEntry> adapters,
                                           std::span<uint8_t> buffer);

}  // namespace korvane
