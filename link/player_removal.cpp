#include "link/player_removal.h"

#include "capture/session_message.h"
#include "link/message_writer.h"
#include "platform/format.h"

namespace korvane {

std::vector<uint8_t> BuildDeletionMessage(uint32_t playerId) {
    MessageWriter message(DeletionMessage::kSize);
    message.U16(SessionMessage::kAddressBlockOffset, DeletionMessage::kAddressWord);
    message.SystemHeader(SessionMessage::kCommandDeletePlayer, DeletionMessage::kVersion);
    message.U32(SessionMessage::kPlayerIdOffset, playerId);  // 28 and 36 on stay zero
    return message.Take();
}

void PlayerRemoval::SendFarewell(PlayerRecord& record) {
    if (record.kickPending) {
        return;
    }
    const std::string farewell = StringPrintf("See ya later %s.", record.name.c_str());
    if (chat_.KorvaneMessage(SessionMessage::kHostId, record.playerId, 0, farewell, false)) {
        const LogPlayer player = record.ForLog();
        const EventField fields[] = {TextField("text", farewell)};
        log_.Record({EventKind::farewellSent, &player, fields});
    }
    record.kickPending = true;
    record.idleTimer.Set(kGraceSeconds);
}

int PlayerRemoval::SendDeletions(PlayerRecord& record) {
    // The player's own id, then the id one below it.
    const uint32_t ids[] = {record.playerId, record.playerId - 1};
    for (int which = 0; which < 2; ++which) {
        if (link_.SendMessage(BuildDeletionMessage(ids[which])) != 0) {
            log_.LogEvent(StringPrintf("Socket error in DisconnectPlayer() [%d]: code=%d",
                                       which + 1, link_.LastError()),
                          record.ForLog());
            return -1;
        }
    }
    return 0;
}

void PlayerRemoval::DisconnectPlayer(PlayerRecord& record) {
    if (settings_.testMode) {
        record.active = false;
        return;
    }
    switch (link_.Deliver(kMaxRestarts, [&] { return SendDeletions(record); })) {
        case Delivery::sent: {
            record.active = false;  // the next sweep destroys the record
            const LogPlayer player = record.ForLog();
            const std::string ids[] = {StringPrintf("%08x", record.playerId),
                                       StringPrintf("%08x", record.playerId - 1)};
            const EventField fields[] = {TextsField("ids", ids)};
            log_.Record({EventKind::removalSent, &player, fields});
            break;
        }
        case Delivery::linkDown:
            break;  // the next sweep tries again
        case Delivery::gaveUp:
            log_.LogEvent(StringPrintf("Warning: DisconnectPlayer() gave up after %d restarts; "
                                       "the next sweep tries again",
                                       kMaxRestarts),
                          record.ForLog());
            break;
    }
}

}  // namespace korvane
