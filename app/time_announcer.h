#pragma once

#include <cstdint>

#include "app/run_settings.h"
#include "capture/player_table.h"
#include "link/chat_sender.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace korvane {

// Tells the server's local time in chat and on the console: every `timeInterval` minutes with
// "/time:", and whenever a player asks with "~time".
//
// The announcements keep to a grid: the second the announcer is made (at start-up), plus whole
// intervals. Each is made on the first tick in a later second than its due time, so the first
// comes about a second after start-up. A loop that falls behind by several intervals catches up
// one interval per tick.
class TimeAnnouncer {
  public:
    TimeAnnouncer(const RunSettings& settings, const Clock& clock, const PlayerTable& players,
                  ChatSender& chat, Console& console);

    // Called once per pass of the main loop, after the sweep.
    void AnnouncementTick();

    // The time now, as a chat line to the host in the name of the player who joined last and as
    // a console line. With no player known nothing is sent or printed.
    void AnnounceTime();

    // When the next announcement is due, in calendar seconds. Kept in 64 bits: the grid must
    // not wrap in 2038, nor overflow with a huge interval.
    int64_t nextAnnouncement() const { return nextAnnouncement_; }

  private:
    const RunSettings& settings_;
    const Clock& clock_;
    const PlayerTable& players_;
    ChatSender& chat_;
    Console& console_;
    int64_t nextAnnouncement_;
};

}  // namespace korvane
