#include "app/event_log.h"

#include "platform/format.h"

namespace korvane {

bool EventLog::Open(const std::filesystem::path& path) {
    return file_.Open(path);
}

bool EventLog::Reopen() {
    return file_.Reopen();
}

void EventLog::Close() {
    file_.Close();
}

std::string EventLog::Stamp() const {
    return CalendarText(clock_.Now().seconds).substr(0, 19);
}

bool MinuteBudget::Take(int64_t seconds) {
    const int64_t minute = seconds / 60;
    if (minute != minute_) {
        minute_ = minute;
        taken_ = 0;
    }
    if (taken_ == perMinute_) {
        ++leftOut_;
        return false;
    }
    ++taken_;
    return true;
}

void EventLog::Record(const GuardEvent& event) {
    if (sink_ == nullptr) {
        return;
    }
    switch (event.kind) {
        case EventKind::playerJoined:
        case EventKind::playerLeft:
        case EventKind::selection:
        case EventKind::verdict:
        case EventKind::commandAnswered:
            if (!playerEvents_.Take(clock_.Now().seconds)) {
                return;
            }
            break;
        default:
            break;
    }
    sink_->Record(event);
}

void EventLog::LogEvent(std::string_view text) {
    Write(text, nullptr);
    RecordWarning(text, nullptr);
}

void EventLog::LogEvent(std::string_view text, const LogPlayer& player) {
    Write(text, &player);
    RecordWarning(text, &player);
}

void EventLog::LogEvent(std::string_view text, const GuardEvent& event) {
    Write(text, event.player);
    Record(event);
}

void EventLog::RecordWarning(std::string_view text, const LogPlayer* player) {
    static constexpr std::string_view kWarning = "Warning: ";
    if (sink_ == nullptr || !text.starts_with(kWarning)) {
        return;
    }
    text.remove_prefix(kWarning.size());
    while (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    const EventField fields[] = {TextField("text", text)};
    Record({EventKind::warning, player, fields});
}

std::string NarrowLogName(std::u16string_view name) {
    std::string narrow;
    for (char16_t unit : name) {
        if (unit < 256) {
            narrow += static_cast<char>(unit);
        }
    }
    return narrow;
}

void EventLog::Write(std::string_view text, const LogPlayer* player) {
    if (player == nullptr) {
        std::string line = Stamp();
        line += ": ";
        line += text;
        line += '\n';
        file_.Write(line);
        console_.Write(line);
        return;
    }
    const std::string head = StringPrintf("%s: %08x \"%s\" ", Stamp().c_str(), player->playerId,
                                          NarrowLogName(player->nameWide).c_str());
    const std::string tail = StringPrintf(
        "[%.*s] [%d.%d.%d.%d]%s %.*s\n", static_cast<int>(player->infoText.size()),
        player->infoText.data(), player->ipAddress[0], player->ipAddress[1], player->ipAddress[2],
        player->ipAddress[3], player->fragmentPending ? "*:" : ":", static_cast<int>(text.size()),
        text.data());
    file_.Write(head + tail);
    console_.Write(head + " " + tail);
}

}  // namespace korvane
