#include "platform/capture_batch.h"

#include <algorithm>

#include "platform/capture_library.h"

namespace korvane {

void CaptureBatch::Begin(std::span<uint8_t> buffer) {
    buffer_ = buffer;
    next_ = 0;
    end_ = 0;
    if (held_.present) {
        Append(held_.seconds, held_.micros, held_.data, held_.wireLength);
        held_.present = false;
        held_.data.clear();
    }
}

bool CaptureBatch::Take(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
                        uint32_t wireLength) {
    if (held_.present) {
        return false;
    }
    if (Append(seconds, micros, frame, wireLength)) {
        return true;
    }
    held_.present = true;
    held_.seconds = seconds;
    held_.micros = micros;
    held_.wireLength = wireLength;
    held_.data.assign(frame.begin(), frame.end());
    return false;
}

bool CaptureBatch::Append(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
                          uint32_t wireLength) {
    if (next_ == 0) {
        frame = frame.first(std::min(frame.size(), buffer_.size() - kCaptureHeaderLength));
    }
    auto next = AppendCaptureRecord(buffer_, next_, seconds, micros, frame, wireLength);
    if (!next) {
        return false;
    }
    end_ = next_ + kCaptureHeaderLength + frame.size();
    next_ = *next;
    return true;
}

}  // namespace korvane
