#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "capture/player_table.h"
#include "platform/console.h"

namespace korvane {

// Takes every whole session message of a client's connection, as the connection's stream hands
// it on: follows players joining and leaving, and hands each game message addressed to the host
// on.
class SessionDispatcher {
  public:
    // Receives a game message to the host: the sender's record and the message, from its size
    // word to its end.
    using GameMessageHandler =
        std::function<void(PlayerRecord& record, std::span<const uint8_t> message)>;

    explicit SessionDispatcher(Console& console) : console_(console) {}

    void SetGameMessageHandler(GameMessageHandler handler) { handler_ = std::move(handler); }

    // One whole message of the connection of `record`, its size word and token checked. Reads
    // past the end of the message throw TruncatedData.
    void DispatchMessage(PlayerRecord& record, std::span<const uint8_t> message);

    // A player creation message of `size` bytes on the connection of `record`.
    void HandlePlayerCreation(PlayerRecord& record, std::span<const uint8_t> message, int32_t size);

  private:
    Console& console_;
    GameMessageHandler handler_;
};

}  // namespace korvane
