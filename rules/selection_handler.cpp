#include "rules/selection_handler.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "capture/byte_reader.h"
#include "capture/network_text.h"
#include "capture/session_message.h"
#include "platform/format.h"
#include "rules/catalogue.h"
#include "rules/selection_message.h"
#include "rules/tech_base.h"
#include "rules/tech_class.h"
#include "rules/version_line.h"

namespace korvane {

namespace {
using Layout = SelectionMessage;

// Counts a piece into its length, without wrapping, and keeps its bytes (in place of the
// piece's earlier bytes, or after them) while that piece stays within what a configuration can
// hold. Beyond that only the count grows and the piece's bytes are let go: the upload is
// oversized whatever follows, since only a decoding empties the pieces, and no player can make
// a record hold more than three such pieces.
void KeepPiece(uint32_t& length, std::vector<uint8_t>& bytes, std::span<const uint8_t> piece,
               bool append) {
    const uint64_t grown = (append ? uint64_t{length} : 0) + piece.size();
    length = static_cast<uint32_t>(std::min<uint64_t>(grown, std::numeric_limits<uint32_t>::max()));
    if (length > PlayerRecord::kConfigDataBytes) {
        std::vector<uint8_t>().swap(bytes);
        return;
    }
    if (!append) {
        bytes.clear();
    }
    bytes.insert(bytes.end(), piece.begin(), piece.end());
}

// Where the data after two counted texts at `at` (each a u8 length and that many bytes) and
// the one byte after them begins; nothing when the message ends before it.
std::optional<size_t> AfterCountedTexts(const ByteReader& reader, size_t at) {
    for (int text = 0; text < 2; ++text) {
        if (!reader.Has(at, 1)) {
            return std::nullopt;
        }
        at += 1 + size_t{reader.U8(at)};
    }
    ++at;
    if (!reader.Has(at, 0)) {
        return std::nullopt;
    }
    return at;
}

// "IS Tech" or "Clan Tech" for a chassis of that tech, nothing for any other.
std::string_view TechText(uint32_t tech) {
    switch (tech) {
        case kTechIS:
            return "IS Tech";
        case kTechClan:
            return "Clan Tech";
        default:
            return "";
    }
}
}  // namespace

void SetVariantName(PlayerRecord& record, std::string_view text) {
    SetNetworkText(record.variantName, text.substr(0, text.find('\0')));
}

void SelectionHandler::HandlePlayerMessage(PlayerRecord& record, std::span<const uint8_t> message) {
    const ByteReader reader(message);
    if (!reader.Has(SessionMessage::kTypeOffset, 1)) {
        return;
    }
    const uint32_t sender = reader.U32(SessionMessage::kSenderOffset);
    if (record.playerId == 0) {
        record.name.Set(StringPrintf("%08x", sender));
    }
    record.playerId = sender;

    switch (const uint8_t type = reader.U8(SessionMessage::kTypeOffset)) {
        case Layout::kTypeFirstPiece: {
            const std::optional<size_t> piece =
                AfterCountedTexts(reader, Layout::kFirstPieceTextsOffset);
            if (!piece) {
                return;
            }
            // A first piece starts an upload whatever its number; the queue is left alone.
            StoreConfigPart1(record, reader.Rest(*piece));
            record.selectionSequence =
                static_cast<int16_t>(reader.U16(Layout::kSequenceOffset) + 1);
            return;
        }
        case Layout::kTypeMiddlePiece:
        case Layout::kTypeLastPiece:
            HandlePiece(record, message, type);
            return;
        case Layout::kTypeInfo:
            HandleInfo(record, message);
            return;
        case Layout::kTypeStockSelection:
            HandleStockSelection(record, message);
            return;
        case Layout::kTypeChat:
            if (reader.Has(Layout::kChatTextOffset, 1) && chatText_) {
                chatText_(record, sender, reader.Text(Layout::kChatTextOffset));
            }
            return;
        default:
            return;
    }
}

void SelectionHandler::HandlePiece(PlayerRecord& record, std::span<const uint8_t> message,
                                   uint8_t type) {
    const ByteReader reader(message);
    if (!reader.Has(Layout::kPieceOffset, 0)) {
        return;  // too short to carry a piece
    }
    const uint16_t sequence = reader.U16(Layout::kSequenceOffset);
    if (sequence != static_cast<uint16_t>(record.selectionSequence)) {
        Queue(record, message);
        return;
    }
    const std::span<const uint8_t> piece = reader.Rest(Layout::kPieceOffset);
    const auto next = static_cast<int16_t>(sequence + 1);
    if (type == Layout::kTypeMiddlePiece) {
        AppendConfigPart2(record, piece);
        record.selectionSequence = next;
        TakeDueSelection(record);
        return;
    }
    StoreConfigPart3(record, piece);
    if (decode_) {
        decode_(record);
    }
    record.selectionSequence = next;
    record.pendingSelections.Clear();
    record.droppedSelections = 0;
    PrintConfiguration(record, Selection::variant);
}

void SelectionHandler::StoreConfigPart1(PlayerRecord& record, std::span<const uint8_t> piece) {
    KeepPiece(record.configLength1, record.configPart1, piece, false);
}

void SelectionHandler::AppendConfigPart2(PlayerRecord& record, std::span<const uint8_t> piece) {
    KeepPiece(record.configLength2, record.configPart2, piece, true);
}

void SelectionHandler::StoreConfigPart3(PlayerRecord& record, std::span<const uint8_t> piece) {
    KeepPiece(record.configLength3, record.configPart3, piece, false);
}

void SelectionHandler::Queue(PlayerRecord& record, std::span<const uint8_t> message) {
    record.pendingSelections.AddFront(std::make_unique<QueuedSelection>(message));
    if (record.pendingSelections.count() <= kMaxQueuedSelections) {
        return;
    }
    record.pendingSelections.RemoveBack();
    if (record.droppedSelections++ == 0) {
        log_.LogEvent(StringPrintf("Warning: more than %zu configuration pieces wait for their "
                                   "turn; the oldest are dropped",
                                   kMaxQueuedSelections),
                      record.ForLog());
    }
}

void SelectionHandler::TakeDueSelection(PlayerRecord& record) {
    const auto expected = static_cast<uint16_t>(record.selectionSequence);
    QueuedSelection* due =
        record.pendingSelections.FindFirst([expected](const QueuedSelection& queued) {
            return ByteReader(queued.data).U16(Layout::kSequenceOffset) == expected;
        });
    if (due == nullptr) {
        return;
    }
    // Out of the queue before it is handled: handling it may empty the queue.
    const std::unique_ptr<QueuedSelection> taken = record.pendingSelections.Take(due);
    HandlePlayerMessage(record, taken->data);
}

void SelectionHandler::HandleInfo(PlayerRecord& record, std::span<const uint8_t> message) {
    const ByteReader reader(message);
    if (!reader.Has(Layout::kInfoTextOffset, 1)) {
        return;
    }
    SetNetworkText(record.infoText, reader.Text(Layout::kInfoTextOffset));
    if (!record.greeted) {
        Greet(record);
        record.greeted = true;
    }
}

void SelectionHandler::Greet(const PlayerRecord& record) {
    if (settings_.versionNotice) {
        chat_.SendNotice(record.playerId, kVersionLine);
        if (settings_.puretech) {
            chat_.SendNotice(record.playerId, "PureTech checking is active");
        }
        if (settings_.reportSelections) {
            chat_.SendNotice(record.playerId, "Mech selection reporting is active");
        }
    }
    chat_.SendNotice(record.playerId,
                     "Korvane: Type '~commands' for a list of chat commands available");
}

void SelectionHandler::HandleStockSelection(PlayerRecord& record,
                                            std::span<const uint8_t> message) {
    const ByteReader reader(message);
    const std::optional<size_t> id = AfterCountedTexts(reader, Layout::kStockTextsOffset);
    if (!id || !reader.Has(*id, 4)) {
        return;
    }
    LookUpSelectedChassis(record, reader.U32(*id));
    PrintConfiguration(record, Selection::stock);
    ReportStockSelection(record);
}

void SelectionHandler::ReportStockSelection(const PlayerRecord& record) {
    if (settings_.reportSelections) {
        std::string text =
            StringPrintf("%s selected %s Stock ", record.name.c_str(), record.chassisName.c_str());
        if (settings_.puretech) {
            text += TechText(record.chassisTech);
        }
        chat_.SendReply(record.playerId, text);
    } else if (settings_.puretech) {
        // Only a change from the tech of the player's previous configuration is told.
        const std::string_view tech = TechText(record.chassisTech);
        if ((record.previousComponentTech | record.previousChassisTech) == record.chassisTech ||
            tech.empty()) {
            return;
        }
        chat_.SendReply(record.playerId,
                        StringPrintf("%s selected ", record.name.c_str()) + std::string(tech));
    }
}

void SelectionHandler::PrintConfiguration(const PlayerRecord& record, Selection selection) {
    // The longest line, with a name and information text of 63 characters each, fits the buffer:
    // printing it allocates nothing.
    std::array<char, 256> line;
    const bool info = record.infoText.size() != 0;
    const int length = std::snprintf(
        line.data(), line.size(), "%08x %s %s%s%s%s%s\n", record.playerId, record.name.c_str(),
        info ? "(" : "", record.infoText.c_str(), info ? ") " : "",
        record.fragmentPending ? "* " : "", record.configOk != 0 ? "VALID" : "INVALID");
    console_.Write(std::string_view(line.data(), std::min<size_t>(length, line.size() - 1)));

    const LogPlayer player = record.ForLog();
    const EventField fields[] = {
        TextField("selection", selection == Selection::stock ? "stock" : "variant"),
        TextField("chassis", record.chassisName.view()),
        TextField("variant", record.variantName.view()),
        TextField("tech", ClassOf(record.chassisTech, record.componentTech).label),
        FlagField("valid", record.configOk != 0)};
    log_.Record({EventKind::selection, &player, fields});
}

}  // namespace korvane
