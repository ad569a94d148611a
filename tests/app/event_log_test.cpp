#include "app/event_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "platform/scripted_console.h"
#include "tests/support/log_players.h"
#include "tests/support/recorded_events.h"
#include "tests/support/test_files.h"

namespace korvane {
namespace {

using korvane::testing::ReadTextFile;

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = korvane::testing::FreshDirectory("log");
        path_ = dir_ / EventLog::kFileName;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Tue Feb 03 2004 14:50:02 UTC (the tests run with TZ=UTC).
    ManualClock clock_{{1075819802, 0}};
    ScriptedConsole console_;
    std::filesystem::path dir_;
    std::filesystem::path path_;
};

TEST_F(EventLogTest, PlainLineGoesToFileAndConsole) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    log.LogEvent("Korvane starting up");
    EXPECT_EQ(ReadTextFile(path_),
              "Tue Feb 03 14:50:02: Korvane starting up\n");  // flushed at once
    EXPECT_EQ(console_.output(), "Tue Feb 03 14:50:02: Korvane starting up\n");
}

TEST_F(EventLogTest, LinesAboutSingleConnectionsAreTenAMinuteAndTheRestCounted) {
    EventLog log(clock_, console_);
    int taken = 0;
    for (int i = 0; i < 25; ++i) {
        taken += log.TakesConnectionLine() ? 1 : 0;
    }
    EXPECT_EQ(taken, 10);
    EXPECT_EQ(log.connectionLinesLeftOut(), 15u);
    clock_.Set({1075819802 + 57, 0});  // 14:50:59, the same minute
    EXPECT_FALSE(log.TakesConnectionLine());
    clock_.Set({1075819802 + 58, 0});  // 14:51:00, the next one
    EXPECT_TRUE(log.TakesConnectionLine());
    EXPECT_EQ(log.connectionLinesLeftOut(), 16u);
}

TEST_F(EventLogTest, LineEndsInTheTextAreKept) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    log.LogEvent("Shutdown complete.\n");
    log.LogEvent("\nError: failed to allocate the LPPACKET structure.");
    EXPECT_EQ(ReadTextFile(path_),
              "Tue Feb 03 14:50:02: Shutdown complete.\n\n"
              "Tue Feb 03 14:50:02: \nError: failed to allocate the LPPACKET structure.\n");
}

TEST_F(EventLogTest, FileIsAppendedAcrossOpens) {
    {
        EventLog log(clock_, console_);
        ASSERT_TRUE(log.Open(path_));
        log.LogEvent("first");
    }
    clock_.SetSeconds(1075819802 + 61);
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    log.LogEvent("second");
    EXPECT_EQ(ReadTextFile(path_), "Tue Feb 03 14:50:02: first\nTue Feb 03 14:51:03: second\n");
}

TEST_F(EventLogTest, OpenFailsInAMissingDirectory) {
    EventLog log(clock_, console_);
    EXPECT_FALSE(log.Open(dir_ / "missing" / EventLog::kFileName));
    log.LogEvent("still shown");  // no file: the console still gets the line
    EXPECT_EQ(console_.output(), "Tue Feb 03 14:50:02: still shown\n");
}

TEST_F(EventLogTest, PlayerFormHasOneBlankMoreOnTheConsole) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    clock_.SetSeconds(1076424737);  // Tue Feb 10 14:52:17 2004
    log.LogEvent("some text",
                 korvane::testing::MakeLogPlayer(0x2a, u"Unknown", "Unknown", {10, 0, 0, 5}));
    EXPECT_EQ(ReadTextFile(path_),
              "Tue Feb 10 14:52:17: 0000002a \"Unknown\" [Unknown] [10.0.0.5]: some text\n");
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:52:17: 0000002a \"Unknown\"  [Unknown] [10.0.0.5]: some text\n");
}

TEST_F(EventLogTest, PlayerFormMarksAHeldPieceAndDropsWideCharacters) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    // é stays (below 256), U+0100 is left out
    LogPlayer player = korvane::testing::MakeLogPlayer(0, u"A\u00e9\u0100Z", "", {192, 168, 0, 10});
    player.fragmentPending = true;
    log.LogEvent("x", player);
    EXPECT_EQ(ReadTextFile(path_),
              "Tue Feb 03 14:50:02: 00000000 \"A\xe9Z\" [] [192.168.0.10]*: x\n");
}

TEST_F(EventLogTest, EmptyPlayerShowsEmptyQuotesAndBrackets) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    log.LogEvent("t", LogPlayer{});
    EXPECT_EQ(ReadTextFile(path_), "Tue Feb 03 14:50:02: 00000000 \"\" [] [0.0.0.0]: t\n");
}

// Every "Warning:" entry is an event of its own, in the player form with its player; an entry
// that carries its event records that one; a recorded event writes no entry.
TEST_F(EventLogTest, WarningsAndCarriedEventsReachTheSink) {
    korvane::testing::RecordedEvents events;
    EventLog log(clock_, console_);
    log.LogEvent("Warning: before any sink");
    log.SetSink(&events);
    LogPlayer player;
    player.playerId = 0x2a;
    const struct {
        const char* text;
        bool withPlayer;
        const char* recorded;  // the warning's text; none when empty
    } rows[] = {
        {"Warning: unable to set promiscuous mode!", false, "unable to set promiscuous mode!"},
        {"Warning: more than 32 pieces\n", true, "more than 32 pieces"},
        {"Korvane starting up", false, ""},
        {"No Warning: here", false, ""},
        {"warning: lower case", false, ""},
    };
    for (const auto& row : rows) {
        events.events.clear();
        if (row.withPlayer) {
            log.LogEvent(row.text, player);
        } else {
            log.LogEvent(row.text);
        }
        if (*row.recorded == '\0') {
            EXPECT_TRUE(events.events.empty()) << row.text;
            continue;
        }
        ASSERT_EQ(events.events.size(), 1u) << row.text;
        EXPECT_EQ(events.events[0].name(), "warning");
        EXPECT_EQ(events.events[0]["text"], row.recorded);
        EXPECT_EQ(events.events[0]["id"].has_value(), row.withPlayer) << row.text;
    }

    events.events.clear();
    console_.ClearOutput();
    const EventField fields[] = {NumberField("port", 2300)};
    log.LogEvent("Warning: carried", GuardEvent{EventKind::portDetected, nullptr, fields});
    log.Record({EventKind::shutdown, nullptr, {}});
    EXPECT_THAT(events.Names(), ::testing::ElementsAre("port_detected", "shutdown"));
    EXPECT_EQ(console_.output(), "Tue Feb 03 14:50:02: Warning: carried\n");
}

// A player's own doings make at most 600 events a minute, the rest counted; kicks always count.
TEST_F(EventLogTest, PlayerEventsAreSixHundredAMinuteAndTheRestCounted) {
    korvane::testing::RecordedEvents events;
    EventLog log(clock_, console_);
    log.SetSink(&events);
    const LogPlayer player;
    for (int i = 0; i < 700; ++i) {
        log.Record({i % 2 == 0 ? EventKind::selection : EventKind::commandAnswered, &player, {}});
    }
    log.Record({EventKind::kicked, &player, {}});
    EXPECT_EQ(events.events.size(), 601u);
    EXPECT_EQ(events.events.back().name(), "kicked");
    EXPECT_EQ(log.playerEventsLeftOut(), 100u);
    clock_.Set({1075819802 + 58, 0});  // the next minute
    log.Record({EventKind::playerJoined, &player, {}});
    EXPECT_EQ(events.events.back().name(), "player_joined");
}

// A rotation renames the file while the log writes on; the lines before the reopen stay in the
// renamed file, those after it begin a new one, and none is lost. When no new file can be
// opened, the old one keeps every line.
TEST_F(EventLogTest, ReopenBeginsANewFileAfterARename) {
    EventLog log(clock_, console_);
    ASSERT_TRUE(log.Open(path_));
    log.LogEvent("before");
    const auto rotated = dir_ / "Korvane.log.1";
    std::filesystem::rename(path_, rotated);
    log.LogEvent("between");
    ASSERT_TRUE(log.Reopen());
    log.LogEvent("after");
    EXPECT_EQ(ReadTextFile(rotated), "Tue Feb 03 14:50:02: before\nTue Feb 03 14:50:02: between\n");
    EXPECT_EQ(ReadTextFile(path_), "Tue Feb 03 14:50:02: after\n");

    std::filesystem::rename(path_, dir_ / "Korvane.log.2");
    std::filesystem::create_directory(path_);  // nothing can be opened under the name now
    EXPECT_FALSE(log.Reopen());
    log.LogEvent("kept");
    EXPECT_EQ(ReadTextFile(dir_ / "Korvane.log.2"),
              "Tue Feb 03 14:50:02: after\nTue Feb 03 14:50:02: kept\n");

    EventLog never(clock_, console_);
    EXPECT_FALSE(never.Reopen());  // nothing was opened before
}

}  // namespace
}  // namespace korvane
