#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/player_record.h"
#include "link/chat_sender.h"
#include "platform/console.h"

namespace korvane {

// Copies a variant's name, up to its first zero byte, into the record, cut to fit and with
// control characters as '?'.
void SetVariantName(PlayerRecord& record, std::string_view text);

// Takes every game message a player sends the host: puts the pieces of an uploaded variant back
// in order and has the variant judged once the last one is in, greets players when their
// information first arrives, looks up and reports stock mech selections, and hands chat texts
// on.
class SelectionHandler {
  public:
    // Pieces kept while they wait for their turn; a real upload has about twenty at most.
    // Beyond this the oldest is dropped.
    static constexpr size_t kMaxQueuedSelections = 32;

    // Judges the variant whose pieces are in the record, and empties them.
    using VariantDecoding = std::function<void(PlayerRecord& record)>;
    // Takes a chat text: the sender's record, the sender id and the text.
    using ChatTextHandler =
        std::function<void(PlayerRecord& record, uint32_t sender, std::string_view text)>;

    SelectionHandler(const RunSettings& settings, ChatSender& chat, Console& console, EventLog& log)
        : settings_(settings), chat_(chat), console_(console), log_(log) {}

    void SetVariantDecoding(VariantDecoding decode) { decode_ = std::move(decode); }
    void SetChatTextHandler(ChatTextHandler handler) { chatText_ = std::move(handler); }

    // One whole game message from the record's player to the host. A message too short for
    // what its type carries is ignored.
    void HandlePlayerMessage(PlayerRecord& record, std::span<const uint8_t> message);

    // What a player selected: a stock mech or an uploaded variant.
    enum class Selection { stock, variant };

    // The player's configuration line on the console: id, name, information, "*" while a piece
    // of a message is held, and the verdict; and the selection's event.
    void PrintConfiguration(const PlayerRecord& record, Selection selection);

  private:
    void HandlePiece(PlayerRecord& record, std::span<const uint8_t> message, uint8_t type);
    void StoreConfigPart1(PlayerRecord& record, std::span<const uint8_t> piece);
    void AppendConfigPart2(PlayerRecord& record, std::span<const uint8_t> piece);
    void StoreConfigPart3(PlayerRecord& record, std::span<const uint8_t> piece);
    void Queue(PlayerRecord& record, std::span<const uint8_t> message);
    void TakeDueSelection(PlayerRecord& record);
    void HandleInfo(PlayerRecord& record, std::span<const uint8_t> message);
    void HandleStockSelection(PlayerRecord& record, std::span<const uint8_t> message);
    void Greet(const PlayerRecord& record);
    void ReportStockSelection(const PlayerRecord& record);

    const RunSettings& settings_;
    ChatSender& chat_;
    Console& console_;
    EventLog& log_;
    VariantDecoding decode_;
    ChatTextHandler chatText_;
};

}  // namespace korvane
