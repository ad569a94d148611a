#include "capture/session_dispatcher.h"

#include <algorithm>
#include <string>

#include "capture/byte_reader.h"
#include "capture/session_message.h"
#include "platform/format.h"

namespace korvane {

namespace {
using Layout = SessionMessage;
constexpr size_t kMaxNameUnits = PlayerRecord::kTextCapacity - 1;

}  // namespace

void SessionDispatcher::DispatchMessage(PlayerRecord& record, std::span<const uint8_t> bytes) {
    const ByteReader message(bytes);
    const uint32_t signature = message.U32(Layout::kSignatureOffset);
    if (signature == Layout::kHostId) {
        return;  // the host's own messages
    }
    if (signature == Layout::kPlaySignature) {
        const uint16_t command = message.U16(Layout::kCommandOffset);
        if (command == Layout::kCommandCreatePlayer) {
            try {
                HandlePlayerCreation(record, bytes, static_cast<int32_t>(bytes.size()));
            } catch (...) {
                // A damaged creation message is dropped.
            }
        } else if (command == Layout::kCommandDeletePlayer) {
            record.MarkNamed();
            if (record.playerId != 0) {
                console_.Write(StringPrintf("%08x User %s (%s) disconnected\n", record.playerId,
                                            record.name.c_str(), record.infoText.c_str()));
                const LogPlayer player = record.ForLog();
                log_.Record({EventKind::playerLeft, &player, {}});
            }
            record.active = false;  // the next sweep removes it
        }
        return;
    }
    if (!SpeaksAs(record, signature, false)) {
        return;
    }
    // The sender's id is taken whatever becomes of the message.
    record.TakeId(signature);
    const uint32_t receiver = message.U32(Layout::kReceiverOffset);
    if ((receiver & 0xFFFF) == Layout::kHostId && handler_) {
        try {
            handler_(record, bytes);
        } catch (...) {
            // A message the handler could not take is dropped; later ones are not affected.
        }
    }
}

void SessionDispatcher::HandlePlayerCreation(PlayerRecord& record, std::span<const uint8_t> message,
                                             int32_t size) {
    if (size < static_cast<int32_t>(Layout::kNameOffset)) {
        return;
    }
    const ByteReader reader(message);
    const uint32_t id = reader.U32(Layout::kPlayerIdOffset);
    if (!SpeaksAs(record, id, true)) {
        return;
    }
    record.TakeId(id);

    // The name runs to its zero unit or the end of the message, whichever comes first.
    std::u16string wide;
    for (size_t at = Layout::kNameOffset; reader.Has(at, 2) && wide.size() < kMaxNameUnits;
         at += 2) {
        const char16_t unit = reader.U16(at);
        if (unit == 0) {
            break;
        }
        wide += unit;
    }
    std::string narrow;
    for (char16_t unit : wide) {
        if ((unit & 0xFF) == 0) {
            break;
        }
        narrow += static_cast<char>(unit & 0xFF);
    }
    record.SetNames(wide, narrow);
    console_.Write(StringPrintf("%08x User connected\n", id));
    const LogPlayer player = record.ForLog();
    log_.Record({EventKind::playerJoined, &player, {}});
}

bool SessionDispatcher::SpeaksAs(PlayerRecord& record, uint32_t id, bool creation) {
    if (record.idBound && record.boundId == id) {
        return true;
    }
    if (record.idBound && !creation) {
        if (WarnsForged(record)) {
            LogForged(record, StringPrintf("bound to player %08x, sent a message as player %08x",
                                           record.boundId, id));
        }
        return false;
    }
    // Nobody takes an id a live connection holds, not even by a creation: else a player could
    // be judged, and removed, for what another sent in his id.
    if (const PlayerRecord* owner = players_.IdOwner(id); owner != nullptr && owner != &record) {
        if (WarnsForged(record)) {
            const std::string own =
                record.idBound ? StringPrintf("player %08x", record.boundId) : "no player";
            LogForged(record, StringPrintf("bound to %s, claimed player %08x, which %s:%u holds",
                                           own.c_str(), id, owner->addressKey.c_str(),
                                           static_cast<unsigned>(owner->port)));
        }
        return false;
    }
    players_.BindId(record, id);
    return true;
}

bool SessionDispatcher::WarnsForged(PlayerRecord& record) {
    ++forgedIds_;
    if (record.forgedIdWarned) {
        return false;
    }
    record.forgedIdWarned = true;
    return log_.TakesConnectionLine();
}

void SessionDispatcher::LogForged(const PlayerRecord& record, const std::string& what) {
    log_.LogEvent(StringPrintf("Warning: %s:%u, %s; ignored", record.addressKey.c_str(),
                               static_cast<unsigned>(record.port), what.c_str()));
}

}  // namespace korvane
