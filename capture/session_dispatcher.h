#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "app/event_log.h"
#include "capture/player_table.h"
#include "platform/console.h"

namespace korvane {

// Takes every whole session message of a client's connection, as the connection's stream hands
// it on: follows players joining and leaving, and hands each game message addressed to the host
// on.
//
// A player id belongs to one connection: its creation message binds it, or else the first id the
// connection uses. A game message in another id than its connection's, and a creation message
// claiming an id bound to another live connection, are ignored and counted, with one warning
// per connection: a player cannot speak, or be judged, in another's name.
class SessionDispatcher {
  public:
    // Receives a game message to the host: the sender's record and the message, from its size
    // word to its end.
    using GameMessageHandler =
        std::function<void(PlayerRecord& record, std::span<const uint8_t> message)>;

    SessionDispatcher(Console& console, PlayerTable& players, EventLog& log)
        : console_(console), players_(players), log_(log) {}

    void SetGameMessageHandler(GameMessageHandler handler) { handler_ = std::move(handler); }

    // One whole message of the connection of `record`, its size word and token checked. Reads
    // past the end of the message throw TruncatedData.
    void DispatchMessage(PlayerRecord& record, std::span<const uint8_t> message);

    // A player creation message of `size` bytes on the connection of `record`.
    void HandlePlayerCreation(PlayerRecord& record, std::span<const uint8_t> message, int32_t size);

    // Messages ignored since the start for an id not their connection's.
    uint64_t forgedIds() const { return forgedIds_; }

  private:
    // Whether a message of the connection of `record` may speak as player `id`, binding the id
    // where the connection has none.
    bool SpeaksAs(PlayerRecord& record, uint32_t id, bool creation);
    // Counts a message in an id not its connection's; whether the connection's one warning of it
    // is to be logged now.
    bool WarnsForged(PlayerRecord& record);
    void LogForged(const PlayerRecord& record, const std::string& what);

    Console& console_;
    PlayerTable& players_;
    EventLog& log_;
    uint64_t forgedIds_ = 0;
    GameMessageHandler handler_;
};

}  // namespace korvane
