#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "capture/player_record.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "rules/selection_handler.h"
#include "rules/variant_decoder.h"
#include "tests/link/link_world.h"
#include "tools/variant_builder.h"

namespace korvane::testing {

inline constexpr uint32_t kPlayerId = 0x2a;
inline constexpr uint32_t Id(uint32_t high, uint32_t low = 1) {
    return high * 65536 + low;
}
inline constexpr uint32_t kAtlasVariant = Id(958);
inline constexpr uint32_t kAtlasStock = Id(961);
inline constexpr uint32_t kMadCatVariant = Id(1062);
inline constexpr uint32_t kMadCatStock = Id(1065);

// The rules on the outgoing side of a link over fake sockets: the selection handling, the
// decoder with its removal and kick messages, and one player, Mira, with id 0x2a.
struct RulesWorld : LinkWorld {
    explicit RulesWorld(std::filesystem::path collectDir = ".",
                        uint64_t collectionBound = VariantCollection::kMaxBytes)
        : collectDir_(collectDir), collectionBound_(collectionBound) {
        player.SetNames(u"Mira", "Mira");
        player.infoText.Set("");
        selections.SetVariantDecoding([this](PlayerRecord& r) { decoder.DecodeVariant(r); });
    }

    // Hands each message to the handler as the player's.
    void Send(const std::vector<std::vector<uint8_t>>& messages) {
        for (const auto& message : messages) {
            selections.HandlePlayerMessage(player, message);
        }
    }
    void Upload(const tools::VariantSpec& variant, uint16_t firstSequence = 10) {
        Send(tools::UploadMessages(kPlayerId, firstSequence, tools::BuildVariant(variant)));
    }
    // Hands the pieces straight to the decoder, as the handler does once the last is in.
    void Decode(std::span<const uint8_t> container) {
        player.configPart1.assign(container.begin(), container.end());
        player.configLength1 = static_cast<uint32_t>(container.size());
        decoder.DecodeVariant(player);
    }
    std::filesystem::path collectDir_;
    uint64_t collectionBound_;
    KickMessageTable kicks{clock};
    PlayerRemoval removal{link, chat, log, settings};
    VariantDecoder decoder{
        DecoderServices{settings, log, chat, removal, kicks, clock, collectDir_, collectionBound_}};
    SelectionHandler selections{settings, chat, console, log};
    PlayerRecord player{kPlayerId, clock};
};

}  // namespace korvane::testing
