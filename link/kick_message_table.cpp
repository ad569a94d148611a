#include "link/kick_message_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/format.h"

namespace korvane {

namespace {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The next piece of the file: the characters up to and including the next line feed, but no
// more than `limit` of them. Empty at the end of the file.
std::string ReadPiece(std::FILE* file, size_t limit) {
    std::string piece;
    int c;
    while (piece.size() < limit && (c = std::getc(file)) != EOF) {
        piece.push_back(static_cast<char>(c));
        if (c == '\n') {
            break;
        }
    }
    return piece;
}

// The message of a piece that starts with "@": the rest, up to its line end.
std::string MessageOf(std::string_view piece) {
    std::string_view rest = piece.substr(1);
    return std::string(rest.substr(0, rest.find_first_of(std::string_view("\r\n\0", 3))));
}
}  // namespace

void KickMessageTable::LoadKickMessages(const std::filesystem::path& path, EventLog& log) {
    entries_.assign(1, kBuiltIn);
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "r"));
    if (!file) {
        return;  // no messages of the operator's own
    }
    std::vector<std::string> found;
    for (std::string piece = ReadPiece(file.get(), kPieceChars); !piece.empty();
         piece = ReadPiece(file.get(), kPieceChars)) {
        if (piece.front() == '@') {
            found.push_back(MessageOf(piece));
        }
    }
    if (std::ferror(file.get())) {
        // Half a list is not what the operator wrote: keep the built-in message and say why.
        log.LogEvent(
            StringPrintf("Warning: %s could not be read (%s); using the built-in kick "
                         "message",
                         kFileName, std::strerror(errno)));
        return;
    }
    entries_.assign(found.rbegin(), found.rend());  // the file's last message first
    log.LogEvent(StringPrintf("%d custom kick messages loaded.", static_cast<int>(found.size())));
}

const std::string& KickMessageTable::PickKickMessage() const {
    if (entries_.empty()) {
        return builtIn_;
    }
    const auto millis = static_cast<size_t>(clock_.Now().MillisPart());
    return entries_[millis % entries_.size()];
}

std::string FormatKickMessage(std::string_view format, std::string_view name) {
    std::string text;
    bool nameUsed = false;
    for (size_t at = 0; at < format.size(); ++at) {
        const char c = format[at];
        const char next = at + 1 < format.size() ? format[at + 1] : '\0';
        if (c == '%' && next == '%') {
            text += '%';
            ++at;
        } else if (c == '%' && next == 's' && !nameUsed) {
            text += name;
            nameUsed = true;
            ++at;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace korvane
