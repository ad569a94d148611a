// The event stream's lines: the stamp, the name, the player, the fields, as one line of JSON that
// stays ASCII whatever bytes the texts hold.
#include "app/event_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/latin1_text.h"
#include "tests/support/log_players.h"
#include "tests/support/stream_event.h"

namespace korvane {
namespace {

TEST(UtcTimestamp, IsRfc3339WithMillisecondsInUtc) {
    const struct {
        ClockReading reading;
        const char* text;
    } rows[] = {
        {{0, 0}, "1970-01-01T00:00:00.000Z"},
        {{1075819802, 250999}, "2004-02-03T14:50:02.250Z"},
        {{951782400, 1000}, "2000-02-29T00:00:00.001Z"},  // a leap day
        {{1796869999, 999999}, "2026-12-10T02:33:19.999Z"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(UtcTimestamp(row.reading), row.text);
    }
}

LogPlayer Jumper() {
    return korvane::testing::MakeLogPlayer(0x304, u"Jumper", "Sky high", {127, 0, 0, 4}, 51000);
}

TEST(EventStream, LineHasTheStampTheNameThePlayerThenTheFieldsInTheirOrder) {
    const LogPlayer player = Jumper();
    const std::string ids[] = {"00000304", "00000303"};
    const EventField fields[] = {TextField("text", "See ya"), NumberField("size", -7),
                                 FlagField("valid", false), TextsField("ids", ids)};
    EXPECT_EQ(EventStream::Line({EventKind::removalSent, &player, fields}, {1075819845, 2000}),
              R"({"time":"2004-02-03T14:50:45.002Z","event":"removal_sent","address":"127.0.0.4",)"
              R"("port":51000,"id":"00000304","name":"Jumper","info":"Sky high","text":"See ya",)"
              R"("size":-7,"valid":false,"ids":["00000304","00000303"]})");
    EXPECT_EQ(EventStream::Line({EventKind::shutdown, nullptr, {}}, {0, 0}),
              R"({"time":"1970-01-01T00:00:00.000Z","event":"shutdown"})");
}

// Whatever bytes a player's texts hold, the line is one line of printable ASCII that parses, and
// each text comes back as the Latin-1 characters of its bytes; a name cannot add a field.
TEST(EventStream, HostileTextsStayOneLineOfAsciiAndComeBackByteForByte) {
    const std::string hostile[] = {"\"",
                                   "\\",
                                   "a\"b\\c",
                                   "\n",
                                   "\r\n{\"event\":\"removal_sent\"}",
                                   std::string("\0x", 2),
                                   "\x01\x1f\x7f",
                                   "\x80\x9b\x9f",
                                   "\xc2\x9b[2J",
                                   "\x1b[31mred",
                                   "\xe9\xff",
                                   "\xe2\x80\xa8",
                                   "\",\"address\":\"6.6.6.6",
                                   std::string(300, '\xff')};
    for (const std::string& text : hostile) {
        LogPlayer player = Jumper();
        std::u16string wide;  // each byte a unit below 256
        for (const char c : text) {
            wide += static_cast<char16_t>(static_cast<unsigned char>(c));
        }
        player.nameWide = wide;
        player.infoText = text;
        const EventField fields[] = {TextField("variant", text), TextField("text", text)};
        const std::string line =
            EventStream::Line({EventKind::verdict, &player, fields}, {1075819845, 0});
        for (const char c : line) {
            ASSERT_TRUE(c >= 0x20 && c < 0x7f) << line;
        }
        const std::optional<korvane::testing::StreamEvent> parsed =
            korvane::testing::StreamEvent::Parse(line);
        ASSERT_TRUE(parsed) << line;
        const std::string back = Latin1ToUtf8(text);
        EXPECT_EQ((*parsed)["name"], back) << line;
        EXPECT_EQ((*parsed)["info"], back) << line;
        EXPECT_EQ((*parsed)["variant"], back) << line;
        EXPECT_EQ((*parsed)["address"], "127.0.0.4") << line;
        EXPECT_EQ(parsed->name(), "verdict") << line;
        EXPECT_EQ(parsed->size(), 9u) << line;
    }
}

}  // namespace
}  // namespace korvane
