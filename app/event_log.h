#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/console.h"

namespace korvane {

// The identity of a player as a log line shows it.
struct LogPlayer {
    uint32_t playerId = 0;
    std::u16string_view nameWide;
    std::string_view infoText;
    uint8_t ipAddress[4] = {};  // wire order
    bool fragmentPending = false;
};

// The program's record of what it did and saw: each entry is one time-stamped line written to
// the log file, flushed at once, and to the console.
class EventLog {
  public:
    static constexpr const char* kFileName = "Korvane.log";

    EventLog(Clock& clock, Console& console) : clock_(clock), console_(console) {}
    ~EventLog() { Close(); }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

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

    // Whether an entry about one connection is to be written: of those a flood of spoofed
    // connections could bring any number, so at most kConnectionLinesPerMinute are written in
    // each minute of the clock, and the rest are only counted. Asked before the entry is made.
    static constexpr uint32_t kConnectionLinesPerMinute = 10;
    bool TakesConnectionLine();
    // Entries about single connections left out since the start.
    uint64_t connectionLinesLeftOut() const { return connectionLinesLeftOut_; }

    // The first 19 characters of the local calendar text of the clock's current second.
    std::string Stamp() const;

  private:
    void ToFile(std::string_view text);

    Clock& clock_;
    Console& console_;
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    int64_t connectionLinesMinute_ = 0;
    uint32_t connectionLinesTaken_ = 0;
    uint64_t connectionLinesLeftOut_ = 0;
};

// A name of 16-bit characters as the log shows it: each character below 256 becomes the byte of
// the same value, any other is left out.
std::string NarrowLogName(std::u16string_view name);

}  // namespace korvane
