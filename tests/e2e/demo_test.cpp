// The demo as a newcomer runs it: the script builds what it needs (here: finds it built),
// replays the bundled game session against the stand-in game server and shows what Korvane
// made of it: the console once Korvane runs and everything the server received, line by line
// (the port detected, greetings, stock and custom selections, a kick with the server's own
// message, chat commands, time announcements on the capture's clock, players leaving), and the
// collected file. Wolfhound's upload comes in one TCP segment and Jumper's in segments of at
// most 100 bytes; both are judged as if each piece came in a segment of its own. The event
// stream tells the same run to a dashboard, a JSON object a line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/link/link_world.h"
#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/stream_event.h"

namespace korvane {
namespace {

using korvane::testing::AnnouncedTime;
using korvane::testing::ChatLine;
using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::LogStamp;
using korvane::testing::ReadWholeFile;
using korvane::testing::Section;
using korvane::testing::SplitLines;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

// What the demo prints about what the server received.
std::vector<std::string> ServerReceived() {
    std::vector<std::string> lines;
    auto add = [&lines](const std::vector<std::string>& more) {
        lines.insert(lines.end(), more.begin(), more.end());
    };
    auto greet = [&add](uint32_t id) {
        add({ChatLine(1, id, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
             ChatLine(1, id, 7, "PureTech checking is active"),
             ChatLine(1, id, 7, "Mech selection reporting is active"),
             ChatLine(1, id, 7,
                      "Korvane: Type '~commands' for a list of chat commands available")});
    };
    greet(0x102);
    // Time lines go out in the name of the player who joined last: Wolfhound, later Nova.
    add({ChatLine(0x102, 1, 0, AnnouncedTime(1))});
    greet(0x203);
    add({ChatLine(0x102, 1, 0, "Wolfhound selected Atlas Stock IS Tech"),
         ChatLine(0x203, 1, 0, "Kit Fox selected Shadow Cat Stock Clan Tech")});
    greet(0x304);
    greet(0x405);
    add({ChatLine(0x405, 1, 0, "Nova selected Mad Cat Stock Clan Tech"),
         ChatLine(0x102, 1, 0, "Wolfhound selected Atlas Variant (IS Tech)"),
         ChatLine(0x203, 1, 0, "Kit Fox selected Mad Cat Variant (Mixed Tech)", true),
         ChatLine(0x304, 1, 0, "Bye Jumper, read the rules at the lobby.", true),
         ChatLine(0x304, 1, 0, "Illegal Jump Jets subsystem on 'Skyhook'", true),
         ChatLine(1, 0x304, 0, "See ya later Jumper."), "delete player 00000304",
         "delete player 00000303",
         // ~commands
         ChatLine(0x102, 1, 0, "~version, ~time, ~commands"),
         ChatLine(0x102, 1, 0, "~tech, ~clan, ~is, ~mixed"),
         // ~tech, once Jumper is gone: IS, Clan (Nova's stock mech counts no weapons), Mixed.
         ChatLine(0x405, 1, 0, "Valid: Wolfhound: IS"), ChatLine(0x405, 1, 0, "Valid: Nova: NA"),
         ChatLine(0x405, 1, 0, "Violation: Kit Fox: Mixed"),
         // The grid, and the answer to Kit Fox's "~time".
         ChatLine(0x405, 1, 0, AnnouncedTime(61)), ChatLine(0x405, 1, 0, AnnouncedTime(95)),
         ChatLine(0x405, 1, 0, AnnouncedTime(121)), ChatLine(0x405, 1, 0, AnnouncedTime(181))});
    return lines;
}

TEST(Demo, ReplaysTheSessionAndShowsWhatKorvaneMadeOfIt) {
    const std::filesystem::path dir = FreshDirectory("demo");
    const std::filesystem::path run = dir / "run";
    ChildProcess::Options options = ChildProcess::In(dir, dir / "demo.out");
    options.environment = {"TZ=UTC", std::string("KORVANE_BUILD_DIR=") + KORVANE_BINARY_DIR,
                           "KORVANE_DEMO_DIR=" + run.string()};
    ChildProcess demo("/bin/bash", {std::string(KORVANE_SOURCE_DIR) + "/tools/demo.sh"}, options);
    ASSERT_EQ(demo.Wait(240s), 0) << ReadWholeFile(dir / "demo.out");
    const std::vector<std::string> lines = SplitLines(ReadWholeFile(dir / "demo.out"));

    // The console once Korvane runs; its log lines are the log file's.
    const std::string file = "401fb540.00000304.variant.mw4";
    const std::string jumper = "00000304 \"Jumper\"  [Sky high] [127.0.0.4]: ";
    EXPECT_THAT(
        Section(Section(lines, "=== Korvane's console", "=== Korvane.log"), "Korvane is running.",
                "Korvane shutting down."),
        ElementsAre("Waiting for connect traffic to determine the server port...",
                    LogStamp(0) + "Server port 2300 detected (0001)",
                    LogStamp(0) + "Connection to server 127.0.0.1 established",
                    "Analyzing traffic on server port 2300...", "00000102 User connected",
                    // The first announcement, a second after start-up.
                    // The capture holds the players' side only.
                    AnnouncedTime(1), testing::OneWayCaptureWarning(2), "00000203 User connected",
                    "00000102 Wolfhound (Lone wolf) VALID", "00000203 Kit Fox (Clan Wolf) VALID",
                    "00000304 User connected", "00000405 User connected",
                    "00000405 Nova (Star captain) VALID", "00000102 Wolfhound (Lone wolf) VALID",
                    "00000203 Kit Fox (Clan Wolf) VALID",
                    LogStamp(40) + jumper + "JJ Subsystem: INVALID",
                    LogStamp(40) + jumper + "Atlas config 'Skyhook' is INVALID: Illegal components",
                    LogStamp(40) + jumper + "Illegal variant Atlas Skyhook written to file " + file,
                    "", "00000304 Jumper (Sky high) INVALID",
                    // On the grid, and Kit Fox's "~time" at 14:51:35 in between.
                    AnnouncedTime(61), AnnouncedTime(95), AnnouncedTime(121),
                    "00000203 User Kit Fox (Clan Wolf) disconnected",
                    "00000102 User Wolfhound (Lone wolf) disconnected", AnnouncedTime(181)));
    EXPECT_THAT(Section(lines, "=== Korvane.log", "=== What the game server received"),
                Contains(LogStamp(0) + "2 custom kick messages loaded."));

    std::vector<std::string> received =
        Section(lines, "=== What the game server received on Korvane's connection",
                "=== Collected variants");
    std::erase_if(received, [](const std::string& line) {
        return !line.starts_with("chat ") && !line.starts_with("delete ");  // the legend
    });
    EXPECT_THAT(received, ElementsAreArray(ServerReceived()));

    EXPECT_THAT(
        Section(lines, "=== Collected variants", "The run's files are in " + run.string() + "."),
        AllOf(Contains((run / file).string() +
                       " (469 bytes: the upload that broke the rules, as it came)"),
              Contains("  verdict: ILLEGAL: Illegal Jump Jets subsystem on 'Skyhook'")));
    EXPECT_EQ(ReadWholeFile(run / file).size(), 469u);

    // Every line of the event stream parses; the events come as the run went, each player's
    // with the player's id.
    size_t unreadable = 0;
    const std::vector<korvane::testing::StreamEvent> events =
        korvane::testing::ReadStream(run / "events.jsonl", &unreadable);
    EXPECT_EQ(unreadable, 0u);
    std::vector<std::string> sequence;
    for (const korvane::testing::StreamEvent& event : events) {
        sequence.push_back(event.name() + " " + event["id"].value_or(""));
    }
    EXPECT_THAT(
        sequence,
        ElementsAre("start ", "port_detected ", "link_up ", "player_joined 00000102", "warning ",
                    "player_joined 00000203", "selection 00000102", "selection 00000203",
                    "player_joined 00000304", "player_joined 00000405", "selection 00000405",
                    "verdict 00000102", "selection 00000102", "verdict 00000203",
                    "selection 00000203", "verdict 00000304", "collected 00000304",
                    "kicked 00000304", "kick_sent 00000304", "farewell_sent 00000304",
                    "selection 00000304", "removal_sent 00000304", "command_answered 00000102",
                    "command_answered 00000405", "command_answered 00000203",
                    "player_left 00000203", "player_left 00000102", "shutdown "));
    ASSERT_EQ(events.size(), sequence.size());
    // On the capture's clock, in UTC.
    EXPECT_EQ(events[0]["time"], "2004-02-03T14:50:00.000Z");
    EXPECT_EQ(events[0]["address"], "127.0.0.1");
    EXPECT_EQ(events[0]["port_detection"], "true");
    EXPECT_EQ(events[1]["port"], "2300");
    EXPECT_EQ(events[15]["subsystem"], "JJ");
    EXPECT_EQ(events[15]["valid"], "false");
    EXPECT_EQ(events[16]["file"], file);
    EXPECT_EQ(events[17]["address"], "127.0.0.4");
    EXPECT_EQ(events[17]["port"], "51000");
    EXPECT_EQ(events[17]["reason"], "Illegal Jump Jets subsystem on 'Skyhook'");
    EXPECT_EQ(events[18]["text"], "Bye Jumper, read the rules at the lobby.");
    EXPECT_EQ(events[21]["ids"], R"(["00000304","00000303"])");
    // Once five whole seconds have passed since the kick at 14:50:40.
    EXPECT_EQ(events[21]["time"].value_or("").substr(0, 19), "2004-02-03T14:50:46");
    EXPECT_EQ(events[22]["command"], "~commands");
    EXPECT_EQ(events[27]["lost"], "0");
}

}  // namespace
}  // namespace korvane
