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
    HeldFrame(std::span<const uint8_t> frame, int32_t size, size_t keep = SIZE_MAX) {
        Hold(frame, size, keep);
    }
    virtual ~HeldFrame() = default;

    // Keeps this frame in place of the one held before, in the room that one took where it fits;
    // again at most `keep` bytes of it.
    void Hold(std::span<const uint8_t> frame, int32_t size, size_t keep = SIZE_MAX) {
        data.assign(frame.begin(), frame.begin() + static_cast<long>(std::min(frame.size(), keep)));
        frameLength = static_cast<uint32_t>(frame.size());
        messageSize = size;
    }

    std::vector<uint8_t> data;
    uint32_t frameLength = 0;
    // The size word of the frame's payload, sign-extended from 16 bits.
    int32_t messageSize = 0;
};

}  // namespace korvane
