#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/event_log.h"
#include "platform/clock.h"

namespace korvane {

// The messages a rejected player is sent before the removal, each a format in which the first
// "%s" stands for the player's name. The operator's own come from a small text file read at
// start-up; without one the built-in message serves.
class KickMessageTable {
  public:
    static constexpr const char* kFileName = "Korvane.flunk";
    static constexpr const char* kBuiltIn = "%s kicked.";
    // Lines of the file are read in pieces of at most this many characters; a longer line
    // goes on as a piece of its own.
    static constexpr size_t kPieceChars = 255;

    explicit KickMessageTable(const Clock& clock) : clock_(clock) {}

    // Reads the file's "@" lines, the last one first. A file that cannot be opened leaves the
    // built-in message and logs nothing; one that was read logs how many messages it held.
    void LoadKickMessages(const std::filesystem::path& path, EventLog& log);
    // One message, chosen by the millisecond part of the clock. A file without messages leaves
    // the table empty; the built-in message is picked then.
    const std::string& PickKickMessage() const;

    const std::vector<std::string>& entries() const { return entries_; }

  private:
    const Clock& clock_;
    const std::string builtIn_{kBuiltIn};
    std::vector<std::string> entries_{kBuiltIn};
};

// A kick message with the player's name: the first "%s" takes the name, "%%" gives one "%",
// and every other "%" is printed as it stands, so that no message can make the formatting read
// more than the one name it is given.
std::string FormatKickMessage(std::string_view format, std::string_view name);

}  // namespace korvane
