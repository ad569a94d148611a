#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::tools {

// Puts a little-endian value into bytes already there.
inline void PutU16(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    out.at(offset) = static_cast<uint8_t>(value);
    out.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    PutU16(out, offset, value & 0xFFFF);
    PutU16(out, offset + 2, value >> 16);
}

}  // namespace korvane::tools
