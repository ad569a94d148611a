#pragma once

#include <cstdint>
#include <vector>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/player_record.h"
#include "link/chat_sender.h"
#include "link/server_link.h"

namespace korvane {

// The layout of a player-deletion message as the program writes it: a 48-byte system message,
// command 11, version 13, the id of the player to delete at 32.
struct DeletionMessage {
    static constexpr size_t kSize = 48;
    static constexpr uint16_t kAddressWord = 2;  // first u16 of the address block
    static constexpr uint16_t kVersion = 13;
};

std::vector<uint8_t> BuildDeletionMessage(uint32_t playerId);

// Removes a rejected player from the game in two steps: a farewell in chat, which starts a
// grace period of a few seconds, and, once the sweep finds it over, two player-deletion
// messages on the server link.
class PlayerRemoval {
  public:
    static constexpr int32_t kGraceSeconds = 5;
    // Restarts of one removal on a link that keeps accepting connections but fails every send;
    // then this attempt ends and the next sweep tries again.
    static constexpr int kMaxRestarts = 3;

    PlayerRemoval(ServerLink& link, ChatSender& chat, EventLog& log, const RunSettings& settings)
        : link_(link), chat_(chat), log_(log), settings_(settings) {}

    // Says goodbye and starts the grace period, once per player: from now on the player's
    // traffic no longer holds the removal off.
    void SendFarewell(PlayerRecord& record);
    // Sends the two deletion messages (for the player's id and the id below it) and clears
    // `active` once both went out. When they cannot be sent the record stays as it is, and the
    // next sweep tries again.
    void DisconnectPlayer(PlayerRecord& record);

  private:
    // One attempt at both messages: 0 when both went out, -1 when a send failed.
    int SendDeletions(PlayerRecord& record);

    ServerLink& link_;
    ChatSender& chat_;
    EventLog& log_;
    const RunSettings& settings_;
};

}  // namespace korvane
