// The kick message file: the input is the file's contents, loaded from a file in a directory of
// the target's own. Every message must keep to a line and to 254 characters, every pick must
// name a message, and formatting one with a name must never read or write more than the message
// and the one name.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "app/event_log.h"
#include "fuzz/require.h"
#include "fuzz/temp_directory.h"
#include "link/kick_message_table.h"
#include "platform/clock.h"
#include "platform/null_console.h"

namespace {

using korvane::fuzz::Require;

constexpr size_t kMaxMessageChars = korvane::KickMessageTable::kPieceChars - 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const korvane::fuzz::TempDirectory directory("kick_message_fuzz");
    const std::filesystem::path file = directory.path() / korvane::KickMessageTable::kFileName;
    {
        // A new file each time: truncating one that holds data makes ext4 write it out first.
        std::filesystem::remove(file);
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    korvane::ManualClock clock{{1076424589, 0}};
    korvane::NullConsole console;
    korvane::EventLog log{clock, console};
    korvane::KickMessageTable table{clock};
    table.LoadKickMessages(file, log);

    const size_t ats = static_cast<size_t>(std::count(data, data + size, uint8_t{'@'}));
    Require(table.entries().size() <= ats, "no more messages than at signs");
    for (const std::string& entry : table.entries()) {
        Require(entry.size() <= kMaxMessageChars, "a message holds at most 254 characters");
        Require(entry.find_first_of(std::string_view("\r\n", 2)) == std::string::npos,
                "a message keeps to one line");
    }
    const std::string_view name = "Mi%sra%n";
    for (int32_t millis : {0, 1, 7, 999}) {
        clock.Set({1076424589, millis * 1000});
        const std::string& picked = table.PickKickMessage();
        const std::string text = korvane::FormatKickMessage(picked, name);
        Require(text.size() <= picked.size() + name.size(),
                "a kick text is the message and a name");
    }
    return 0;
}
