#pragma once

#include <filesystem>
#include <string>

#include "app/appended_file.h"
#include "app/guard_event.h"
#include "platform/clock.h"

namespace korvane {

// The event stream for dashboards and log shippers ("/events:<file>"): every event of the run
// as one JSON object on a line of its own (JSON Lines), appended to a file and flushed at once.
// Each object begins with the time of the run's clock, UTC in RFC 3339 form with milliseconds
// (a replay's is the capture's), and the event's name; then, for an event about a player, the
// player's address, port, id, name and information text; then the event's fields.
//
// Texts are 8-bit: each byte is written as the Latin-1 character of its value. The file holds
// ASCII only, every other character escaped, so that no text from the network can reach a
// terminal that shows the file as a control sequence.
class EventStream final : public EventSink {
  public:
    explicit EventStream(const Clock& clock) : clock_(clock) {}

    // Opens (creating when missing) the file for appending. False, with failure() telling why,
    // when it cannot be opened.
    bool Open(const std::filesystem::path& path) { return file_.Open(path); }
    // Begins a new file under the name after a rotation renamed the old one.
    bool Reopen() { return file_.Reopen(); }
    void Close() { file_.Close(); }
    const std::string& failure() const { return file_.failure(); }

    void Record(const GuardEvent& event) override;

    // The event's line, without its line end, stamped with `time`.
    static std::string Line(const GuardEvent& event, ClockReading time);

  private:
    const Clock& clock_;
    AppendedFile file_;
};

}  // namespace korvane
