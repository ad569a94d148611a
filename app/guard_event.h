#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvane {

struct LogPlayer;

// What happened, as the event stream tells it.
enum class EventKind : uint8_t {
    start,            // the guard runs: version, switches, adapter, guarded address, port
    portDetected,     // the server port, found from a connect message
    linkUp,           // the link to the server is connected
    linkLost,         // a send on the link failed
    playerJoined,     // a player's creation message
    playerLeft,       // a player's deletion message
    selection,        // a stock mech or a variant chosen, as the configuration line shows it
    verdict,          // an uploaded variant judged valid or invalid
    collected,        // an upload saved to a file
    kicked,           // a player is put out of the game: told why, and removed after the grace
    kickSent,         // the kick message and the reason went out
    farewellSent,     // the farewell went out
    removalSent,      // the two player-deletion messages went out
    commandAnswered,  // a chat command answered
    warning,          // every "Warning:" line of the log
    shutdown,         // the run ends: the capture's statistics and the bounds' counts
};

// The kind's name in the stream: "start", "port_detected", ...
std::string_view EventName(EventKind kind);

// One value an event carries, under its name.
struct EventField {
    enum class Type : uint8_t { text, number, flag, texts };

    std::string_view name;
    Type type = Type::text;
    std::string_view text;  // 8-bit text; what came from the network is Latin-1
    int64_t number = 0;
    std::span<const std::string> texts;
};

inline EventField TextField(std::string_view name, std::string_view value) {
    return {name, EventField::Type::text, value, 0, {}};
}
inline EventField NumberField(std::string_view name, int64_t value) {
    return {name, EventField::Type::number, {}, value, {}};
}
inline EventField FlagField(std::string_view name, bool value) {
    return {name, EventField::Type::flag, {}, value ? 1 : 0, {}};
}
inline EventField TextsField(std::string_view name, std::span<const std::string> values) {
    return {name, EventField::Type::texts, {}, 0, values};
}

// One event: its kind, the player it concerns (none for the guard's own events) and its
// fields, in the order the stream writes them. It points into its caller's texts and is only
// read while it is recorded, so making one allocates nothing.
struct GuardEvent {
    EventKind kind;
    const LogPlayer* player = nullptr;
    std::span<const EventField> fields;
};

// Takes every event of the run. The driver owns the one sink there is and hands it to the log,
// through which every event passes.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Record(const GuardEvent& event) = 0;
};

}  // namespace korvane
