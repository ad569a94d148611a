#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// A kept copy of one captured frame whose session message is not complete yet: all its bytes,
// headers included, with the captured length and the message size word it starts with.
class HeldFrame {
  public:
    HeldFrame(std::span<const uint8_t> frame, int32_t size)
        : data(frame.begin(), frame.end()),
          frameLength(static_cast<uint32_t>(frame.size())),
          messageSize(size) {}
    virtual ~HeldFrame() = default;

    std::vector<uint8_t> data;
    uint32_t frameLength;
    // The size word of the frame's payload, sign-extended from 16 bits.
    int32_t messageSize;
};

}  // namespace korvane
