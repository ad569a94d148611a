#include <sys/time.h>

#include "platform/clock.h"

namespace korvane {

ClockReading SystemClock::Now() const {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {static_cast<int64_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};
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
