#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// A kept copy of one captured frame whose session message is not complete yet: its bytes,
// headers included, with the captured length and the message size word it starts with. At most
// `keep` bytes are kept: a frame longer than any joined frame may be can never be joined (the
// join is refused on the lengths alone), so a sender cannot make a record hold more than that.
class HeldFrame {
  public:
    HeldFrame(std::span<const uint8_t> frame, int32_t size, size_t keep = SIZE_MAX)
        : data(frame.begin(), frame.begin() + static_cast<long>(std::min(frame.size(), keep))),
          frameLength(static_cast<uint32_t>(frame.size())),
          messageSize(size) {}
    virtual ~HeldFrame() = default;

    std::vector<uint8_t> data;
    uint32_t frameLength;
    // The size word of the frame's payload, sign-extended from 16 bits.
    int32_t messageSize;
};

}  // namespace korvane
