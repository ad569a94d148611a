#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "app/event_log.h"

namespace korvane::testing {

// A player as the log and the event stream are handed one. The texts are views: what they name
// must outlive the player.
inline LogPlayer MakeLogPlayer(uint32_t playerId, std::u16string_view name, std::string_view info,
                               std::array<uint8_t, 4> address, uint16_t port = 0) {
    LogPlayer player;
    player.playerId = playerId;
    player.nameWide = name;
    player.infoText = info;
    std::copy(address.begin(), address.end(), player.ipAddress);
    player.port = port;
    return player;
}

}  // namespace korvane::testing
