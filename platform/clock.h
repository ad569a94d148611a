#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// A point in calendar time: seconds since 1970-01-01 UTC and the microseconds within that second.
struct ClockReading {
    int64_t seconds = 0;
    int32_t micros = 0;

    int MillisPart() const { return micros / 1000; }
    // Milliseconds since 1970.
    int64_t Millis() const { return seconds * 1000 + micros / 1000; }
    friend bool operator==(const ClockReading&, const ClockReading&) = default;
};

// The program's only source of time. Everything that stamps, times out or picks by the clock
// reads it through this interface, so a run can follow a capture file or a test's script.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual ClockReading Now() const = 0;
};

// The operating system's calendar clock.
class SystemClock final : public Clock {
  public:
    ClockReading Now() const override;
};

// A clock that moves only when told to: the replay of a capture file drives one, and tests set it.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(ClockReading start = {}) : now_(start) {}
    ClockReading Now() const override { return now_; }
    void Set(ClockReading reading) { now_ = reading; }
    void SetSeconds(int64_t seconds) { now_ = {seconds, 0}; }
    void AdvanceMicros(int64_t micros);

  private:
    ClockReading now_;
};

// The 24-character local calendar text of a time, with English weekday and month names and a
// two-digit day: "Tue Feb 03 14:50:02 2004". Independent of the process locale.
std::string CalendarText(int64_t seconds);

// A time in UTC as RFC 3339 writes it, with milliseconds: "2004-02-03T14:50:02.250Z".
std::string UtcTimestamp(ClockReading reading);

}  // namespace korvane
