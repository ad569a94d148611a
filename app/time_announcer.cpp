#include "app/time_announcer.h"

#include <string>

namespace korvane {

TimeAnnouncer::TimeAnnouncer(const RunSettings& settings, const Clock& clock,
                             const PlayerTable& players, ChatSender& chat, Console& console)
    : settings_(settings),
      clock_(clock),
      players_(players),
      chat_(chat),
      console_(console),
      nextAnnouncement_(clock.Now().seconds) {}

void TimeAnnouncer::AnnouncementTick() {
    if (settings_.timeInterval < 1) {
        return;
    }
    if (clock_.Now().seconds <= nextAnnouncement_) {
        return;
    }
    nextAnnouncement_ += int64_t{settings_.timeInterval} * 60;
    AnnounceTime();
}

void TimeAnnouncer::AnnounceTime() {
    const std::string text = CalendarText(clock_.Now().seconds);
    const PlayerRecord* newest = players_.Newest();
    if (newest == nullptr) {
        return;
    }
    chat_.SendReply(newest->playerId, text);
    console_.Write(text + "\n");
}

}  // namespace korvane
