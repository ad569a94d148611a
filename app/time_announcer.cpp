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
    // The newest player: a connection not trusted speaks for nobody.
    const PlayerRecord* newest = nullptr;
    players_.records().ForEach([&](const PlayerRecord& record) {
        if (newest == nullptr && record.Trusted()) {
            newest = &record;
        }
    });
    if (newest == nullptr) {
        return;
    }
    chat_.SendReply(newest->playerId, text);
    console_.Write(text + "\n");
}

}  // namespace korvane
