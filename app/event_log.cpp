#include "app/event_log.h"

#include "platform/format.h"

namespace korvane {

bool EventLog::Open(const std::filesystem::path& path) {
    Close();
    path_ = path;
    file_ = std::fopen(path.string().c_str(), "a");
    return file_ != nullptr;
}

bool EventLog::Reopen() {
    if (path_.empty()) {
        return false;
    }
    std::FILE* fresh = std::fopen(path_.string().c_str(), "a");
    if (fresh == nullptr) {
        return false;
    }
    Close();
    file_ = fresh;
    return true;
}

void EventLog::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

std::string EventLog::Stamp() const {
    return CalendarText(clock_.Now().seconds).substr(0, 19);
}

void EventLog::ToFile(std::string_view text) {
    if (file_ != nullptr) {
        std::fwrite(text.data(), 1, text.size(), file_);
    }
}

bool EventLog::TakesConnectionLine() {
    const int64_t minute = clock_.Now().seconds / 60;
    if (minute != connectionLinesMinute_) {
        connectionLinesMinute_ = minute;
        connectionLinesTaken_ = 0;
    }
    if (connectionLinesTaken_ == kConnectionLinesPerMinute) {
        ++connectionLinesLeftOut_;
        return false;
    }
    ++connectionLinesTaken_;
    return true;
}

void EventLog::LogEvent(std::string_view text) {
    std::string line = Stamp();
    line += ": ";
    line += text;
    line += '\n';
    ToFile(line);
    if (file_ != nullptr) {
        std::fflush(file_);
    }
    console_.Write(line);
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

void EventLog::LogEvent(std::string_view text, const LogPlayer& player) {
    const std::string head = StringPrintf("%s: %08x \"%s\" ", Stamp().c_str(), player.playerId,
                                          NarrowLogName(player.nameWide).c_str());
    const std::string tail =
        StringPrintf("[%.*s] [%d.%d.%d.%d]%s %.*s\n", static_cast<int>(player.infoText.size()),
                     player.infoText.data(), player.ipAddress[0], player.ipAddress[1],
                     player.ipAddress[2], player.ipAddress[3], player.fragmentPending ? "*:" : ":",
                     static_cast<int>(text.size()), text.data());
    ToFile(head + tail);
    if (file_ != nullptr) {
        std::fflush(file_);
    }
    console_.Write(head + " " + tail);
}

}  // namespace korvane
