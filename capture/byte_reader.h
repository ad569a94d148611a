#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

namespace korvane {

// Thrown when a read would pass the end of the bytes at hand: a frame, a message or a buffer.
// Handlers of frames and messages catch it and drop what they were working on.
class TruncatedData : public std::runtime_error {
  public:
    TruncatedData() : std::runtime_error("truncated") {}
};

// The one way captured bytes are read: every access is checked against the end of the view.
// Offsets are absolute within the view; multi-byte values are little-endian unless the name
// says network order (big-endian).
class ByteReader {
  public:
    ByteReader() = default;
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    ByteReader(const uint8_t* data, size_t size) : bytes_(data, size) {}

    size_t size() const { return bytes_.size(); }
    bool Has(size_t offset, size_t width) const {
        return offset <= bytes_.size() && width <= bytes_.size() - offset;
    }

    uint8_t U8(size_t offset) const { return Bytes(offset, 1)[0]; }
    uint16_t U16(size_t offset) const {
        auto b = Bytes(offset, 2);
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    }
    uint32_t U32(size_t offset) const {
        auto b = Bytes(offset, 4);
        return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
               (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    }
    uint16_t NetU16(size_t offset) const {
        auto b = Bytes(offset, 2);
        return static_cast<uint16_t>((b[0] << 8) | b[1]);
    }
    uint32_t NetU32(size_t offset) const {
        auto b = Bytes(offset, 4);
        return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
               (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
    }

    // The `width` bytes at `offset`.
    std::span<const uint8_t> Bytes(size_t offset, size_t width) const {
        if (!Has(offset, width)) {
            throw TruncatedData();
        }
        return bytes_.subspan(offset, width);
    }
    // Everything from `offset` to the end.
    std::span<const uint8_t> Rest(size_t offset) const {
        if (offset > bytes_.size()) {
            throw TruncatedData();
        }
        return bytes_.subspan(offset);
    }
    // The zero-terminated text at `offset`: up to its terminator, or to the end when there is
    // none.
    std::string_view Text(size_t offset) const {
        const std::span<const uint8_t> rest = Rest(offset);
        const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
        return std::string_view(reinterpret_cast<const char*>(rest.data()),
                                static_cast<size_t>(end - rest.begin()));
    }
    // A reader over the `width` bytes at `offset`, for a message inside a frame.
    ByteReader Sub(size_t offset, size_t width) const { return ByteReader(Bytes(offset, width)); }

  private:
    std::span<const uint8_t> bytes_;
};

}  // namespace korvane
