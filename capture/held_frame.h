#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// A kept copy of one captured frame whose session message is not complete yet: all its bytes,
// headers included, with the captured length and the message size word it starts with.
class HeldFrame {
  public:
    HeldFrame(std::span<const uint8_t> frame, int32_t size) { Hold(frame, size); }
    virtual ~HeldFrame() = default;

    // Keeps this frame in place of the one held before, in the room that one took where it fits.
    void Hold(std::span<const uint8_t> frame, int32_t size) {
        data.assign(frame.begin(), frame.end());
        frameLength = static_cast<uint32_t>(frame.size());
        messageSize = size;
    }

    std::vector<uint8_t> data;
    uint32_t frameLength = 0;
    // The size word of the frame's payload, sign-extended from 16 bits.
    int32_t messageSize = 0;
};

}  // namespace korvane
