#include <chrono>

#include "platform/clock.h"

namespace korvane {

ClockReading SystemClock::Now() const {
    // 64-bit seconds on every platform (a timeval's are 32 bits on Windows, and end in 2038).
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const int64_t micros = sinceEpoch.count();
    int64_t seconds = micros / 1000000;
    int64_t rest = micros % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --seconds;
    }
    return {seconds, static_cast<int32_t>(rest)};
}

void ManualClock::AdvanceMicros(int64_t micros) {
    int64_t total = now_.micros + micros;
    int64_t carry = total / 1000000;
    int64_t rest = total % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --carry;
    }
    now_.seconds += carry;
    now_.micros = static_cast<int32_t>(rest);
}

}  // namespace korvane
