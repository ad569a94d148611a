#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// Fills one read's batch buffer with the frames a live capture delivers, as records of the
// packet descriptor's layout. A frame that does not fit is held and leads the next batch, so no
// frame is lost between reads; the first frame of a batch always goes in, cut to the buffer if it
// must be.
class CaptureBatch {
  public:
    // Starts a batch in `buffer`, which must hold at least a capture header, with the frame held
    // from the previous one, if any.
    void Begin(std::span<uint8_t> buffer);
    // Adds a frame; false when it did not fit and is now held, so the caller stops reading.
    bool Take(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
              uint32_t wireLength);
    // The bytes the batch holds: the end of its last record's frame.
    size_t End() const { return end_; }
    // Whether a frame that did not fit waits for the next batch: this one is full.
    bool Holding() const { return held_.present; }

  private:
    bool Append(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
                uint32_t wireLength);

    struct HeldFrame {
        bool present = false;
        uint32_t seconds = 0;
        uint32_t micros = 0;
        uint32_t wireLength = 0;
        std::vector<uint8_t> data;
    };

    std::span<uint8_t> buffer_;
    size_t next_ = 0;  // where the next record goes
    size_t end_ = 0;   // end of the last record's frame
    HeldFrame held_;
};

}  // namespace korvane
