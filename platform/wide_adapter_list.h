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

// Writes the 8-bit form of the adapter list: each name as 8-bit text ended by a zero byte, an
// empty name ending the list (the platforms whose version word asks for this form list no
// descriptions). When the whole list does not fit, it holds the leading names that fit and the
// terminator. Never writes past the buffer. The number of bytes written, or nothing (and nothing
// written) for a buffer without room for the terminator.
std::optional<size_t> WriteNarrowAdapterList(std::span<const AdapterEntry> adapters,
                                             std::span<uint8_t> buffer);

// The adapter name as stored in its table slot, back to text: the low bytes of UTF-16LE units in
// the wide form, the bytes themselves otherwise; a zero ends it.
std::string DecodeAdapterName(std::span<const uint8_t> name, bool wide);

}  // namespace korvane
