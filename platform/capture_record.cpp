#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/capture_library.h"

namespace korvane {

namespace {

void PutU16(std::span<uint8_t> out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::span<uint8_t> out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
    out[at + 2] = static_cast<uint8_t>(value >> 16);
    out[at + 3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

std::optional<size_t> AppendCaptureRecord(std::span<uint8_t> batch, size_t offset, uint32_t seconds,
                                          uint32_t micros, std::span<const uint8_t> frame,
                                          uint32_t wireLength) {
    if (offset > batch.size() || frame.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    size_t room = batch.size() - offset;
    if (room < kCaptureHeaderLength || frame.size() > room - kCaptureHeaderLength) {
        return std::nullopt;
    }
    auto captured = static_cast<uint32_t>(frame.size());
    PutU32(batch, offset + 0, seconds);
    PutU32(batch, offset + 4, micros);
    PutU32(batch, offset + 8, captured);
    PutU32(batch, offset + 12, wireLength);
    PutU16(batch, offset + 16, kCaptureHeaderLength);
    PutU16(batch, offset + 18, 0);
    size_t frameStart = offset + kCaptureHeaderLength;
    std::copy(frame.begin(), frame.end(), batch.begin() + static_cast<std::ptrdiff_t>(frameStart));

    // Records start on multiples of 4; the padding is zeroed as far as the buffer reaches.
    size_t end = frameStart + frame.size();
    size_t next = (end + 3) & ~static_cast<size_t>(3);
    for (size_t i = end; i < next && i < batch.size(); ++i) {
        batch[i] = 0;
    }
    return next;
}

}  // namespace korvane
