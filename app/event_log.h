#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/appended_file.h"
#include "app/guard_event.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace korvane {

// At most a number of things in each minute of a clock; the rest are counted.
class MinuteBudget {
  public:
    explicit MinuteBudget(uint32_t perMinute) : perMinute_(perMinute) {}
    // Whether one more fits in the minute of `seconds`; counts it as left out when not.
    bool Take(int64_t seconds);
    uint64_t leftOut() const { return leftOut_; }

  private:
    uint32_t perMinute_;
    int64_t minute_ = 0;
    uint32_t taken_ = 0;
    uint64_t leftOut_ = 0;
};

// The identity of a player as a log line shows it.
struct LogPlayer {
    uint32_t playerId = 0;
    std::u16string_view nameWide;
    std::string_view infoText;
    uint8_t ipAddress[4] = {};  // wire order
    uint16_t port = 0;          // the client's TCP port, for the event stream
    bool fragmentPending = false;
};

// The program's record of what it did and saw: each entry is one time-stamped line written to
// the log file, flushed at once, and to the console.
//
// Every event of the event stream passes through here as well, to the sink the driver gives:
// an entry can carry the event it records, every "Warning:" entry is an event of its own, and
// what is sent or shown on the console only is recorded without an entry.
class EventLog {
  public:
    static constexpr const char* kFileName = "Korvane.log";

    EventLog(Clock& clock, Console& console) : clock_(clock), console_(console) {}
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Where events go from now on; none (the start) records nothing.
    void SetSink(EventSink* sink) { sink_ = sink; }

    // Opens (creating when missing) the log file for appending. False when it cannot be opened.
    bool Open(const std::filesystem::path& path);
    // Opens the file of the last Open again, under its name, and goes on writing there: after a
    // rotation renamed the old file, a new one is begun. False, writing on to the file open
    // before, when the new one cannot be opened.
    bool Reopen();
    void Close();

    // One entry in the plain form: "<stamp>: <text>\n".
    void LogEvent(std::string_view text);
    // One entry in the player form, prefixed with the player's id, name, info text and address.
    void LogEvent(std::string_view text, const LogPlayer& player);
    // One entry and the event it records: in the player form when the event concerns a player.
    void LogEvent(std::string_view text, const GuardEvent& event);
    // An event without an entry: what was sent, or shown on the console only.
    void Record(const GuardEvent& event);

    // Whether an entry about one connection is to be written: of those a flood of spoofed
    // connections could bring any number, so at most kConnectionLinesPerMinute are written in
    // each minute of the clock, and the rest are only counted. Asked before the entry is made.
    static constexpr uint32_t kConnectionLinesPerMinute = 10;
    bool TakesConnectionLine() { return connectionLines_.Take(clock_.Now().seconds); }
    // Entries about single connections left out since the start.
    uint64_t connectionLinesLeftOut() const { return connectionLines_.leftOut(); }

    // What a player does as often as he likes (joining, leaving, selecting, uploading, typing a
    // command) makes events at most kPlayerEventsPerMinute times in each minute of the clock, so
    // that no player can fill the disk with the event stream; the rest are only counted. The
    // kicks, the removals and the warnings are always recorded.
    static constexpr uint32_t kPlayerEventsPerMinute = 600;
    uint64_t playerEventsLeftOut() const { return playerEvents_.leftOut(); }

    // The first 19 characters of the local calendar text of the clock's current second.
    std::string Stamp() const;

  private:
    void Write(std::string_view text, const LogPlayer* player);
    // A "Warning:" entry as an event.
    void RecordWarning(std::string_view text, const LogPlayer* player);

    Clock& clock_;
    Console& console_;
    AppendedFile file_;
    EventSink* sink_ = nullptr;
    MinuteBudget connectionLines_{kConnectionLinesPerMinute};
    MinuteBudget playerEvents_{kPlayerEventsPerMinute};
};

// A name of 16-bit characters as the log shows it: each character below 256 becomes the byte of
// the same value, any other is left out.
std::string NarrowLogName(std::u16string_view name);

}  // namespace korvane
