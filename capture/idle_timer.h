#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace korvane {

// A timer in whole calendar seconds: it expires once the clock has passed start + duration.
class IdleTimer {
  public:
    IdleTimer(const Clock& clock, int32_t duration) : clock_(&clock) { Set(duration); }
    virtual ~IdleTimer() = default;

    // Starts the timer now with a new duration.
    void Set(int32_t duration) {
        duration_ = duration;
        Restart();
    }
    // Starts the timer again now, keeping its duration.
    void Restart() { start_ = static_cast<int32_t>(clock_->Now().seconds); }
    // True when now is strictly later than start + duration.
    bool Expired() const {
        return clock_->Now().seconds > static_cast<int64_t>(start_) + duration_;
    }

    int32_t start() const { return start_; }
    int32_t duration() const { return duration_; }

  private:
    const Clock* clock_;
    int32_t start_ = 0;
    int32_t duration_ = 0;
};

}  // namespace korvane
