// The demo's game session replayed against the stand-in game server: three minutes with players
// of every tech class, greetings, stock and custom selections, a kick, chat commands, time
// announcements on the capture's clock, players leaving.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr int64_t kBase = 1075819800;  // Tue Feb 03 2004 14:50:00 UTC

// The log stamp of a second of the session.
std::string Stamp(int second) {
    return CalendarText(kBase + second).substr(0, 19) + ": ";
}
std::string Time(int second) {
    return CalendarText(kBase + second);
}

TEST(WholeSession, TheDemoSessionAsTheConsoleTheLogAndTheServerShowIt) {
    ReplayedRun run(FreshDirectory("whole-session"));
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    // The demo's scenario, with the stand-in's port for the server's.
    const std::string scenario =
        ReadWholeFile(std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/demo/session.scenario");
    ASSERT_TRUE(run.MakeCapture(std::regex_replace(scenario, std::regex("127\\.0\\.0\\.1:2300"),
                                                   "127.0.0.1:" + std::to_string(port))));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + std::to_string(port), "/report",
                          "/puretech", "/collect", "/time:1"}),
              0)
        << ReadWholeFile(run.dir() / "korvane.out");

    const std::string file = "401fb540.00000304.variant.mw4";
    const std::string jumper = "00000304 \"Jumper\" [Sky high] [127.0.0.4]: ";
    EXPECT_THAT(
        run.LogWhileRunning(),
        ElementsAre(Stamp(0) + "Connection to server 127.0.0.1 established",
                    Stamp(40) + jumper + "JJ Subsystem: INVALID",
                    Stamp(40) + jumper + "Atlas config 'Skyhook' is INVALID: Illegal components",
                    Stamp(40) + jumper + "Illegal variant Atlas Skyhook written to file " + file,
                    ""));
    EXPECT_TRUE(std::filesystem::exists(run.dir() / file));

    const std::string jumperOnConsole = "00000304 \"Jumper\"  [Sky high] [127.0.0.4]: ";
    EXPECT_THAT(
        run.Running(),
        ElementsAre(
            "Analyzing traffic on server port " + std::to_string(port) + "...",
            "00000102 User connected",
            // The first announcement, a second after start-up.
            Time(1), "00000203 User connected", "00000102 Wolfhound (Lone wolf) VALID",
            "00000203 Kit Fox (Clan Wolf) VALID", "00000304 User connected",
            "00000405 User connected", "00000405 Nova (Star captain) VALID",
            "00000102 Wolfhound (Lone wolf) VALID", "00000203 Kit Fox (Clan Wolf) VALID",
            Stamp(40) + jumperOnConsole + "JJ Subsystem: INVALID",
            Stamp(40) + jumperOnConsole + "Atlas config 'Skyhook' is INVALID: Illegal components",
            Stamp(40) + jumperOnConsole + "Illegal variant Atlas Skyhook written to file " + file,
            "", "00000304 Jumper (Sky high) INVALID",
            // On the grid, and Kit Fox's "~time" at 14:51:35 in between.
            Time(61), Time(95), Time(121), "00000203 User Kit Fox (Clan Wolf) disconnected",
            "00000102 User Wolfhound (Lone wolf) disconnected", Time(181)));

    std::vector<std::string> expected;
    auto add = [&expected](const std::vector<std::string>& lines) {
        expected.insert(expected.end(), lines.begin(), lines.end());
    };
    auto greet = [&add](uint32_t id) {
        add({ArrivedChat(1, id, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
             ArrivedChat(1, id, 7, "PureTech checking is active"),
             ArrivedChat(1, id, 7, "Mech selection reporting is active"),
             ArrivedChat(1, id, 7,
                         "Korvane: Type '~commands' for a list of chat commands available")});
    };
    greet(0x102);
    // Time lines go out in the name of the player who joined last: Wolfhound, later Nova.
    add({ArrivedChat(0x102, 1, 0, Time(1))});
    greet(0x203);
    add({ArrivedChat(0x102, 1, 0, "Wolfhound selected Atlas Stock IS Tech"),
         ArrivedChat(0x203, 1, 0, "Kit Fox selected Shadow Cat Stock Clan Tech")});
    greet(0x304);
    greet(0x405);
    add({ArrivedChat(0x405, 1, 0, "Nova selected Mad Cat Stock Clan Tech"),
         ArrivedChat(0x102, 1, 0, "Wolfhound selected Atlas Variant (IS Tech)"),
         ArrivedChat(0x203, 1, 0, "Kit Fox selected Mad Cat Variant (Mixed Tech)", true),
         ArrivedChat(0x304, 1, 0, "Jumper kicked.", true),
         ArrivedChat(0x304, 1, 0, "Illegal Jump Jets subsystem on 'Skyhook'", true),
         ArrivedChat(1, 0x304, 0, "See ya later Jumper."), "[1] delete player 00000304",
         "[1] delete player 00000303",
         // ~commands
         ArrivedChat(0x102, 1, 0, "~version, ~time, ~commands"),
         ArrivedChat(0x102, 1, 0, "~tech, ~clan, ~is, ~mixed"),
         // ~tech, once Jumper is gone: IS, Clan (Nova's stock mech counts no weapons), Mixed.
         ArrivedChat(0x405, 1, 0, "Valid: Wolfhound: IS"),
         ArrivedChat(0x405, 1, 0, "Valid: Nova: NA"),
         ArrivedChat(0x405, 1, 0, "Violation: Kit Fox: Mixed"),
         // The grid, and the answer to Kit Fox's "~time".
         ArrivedChat(0x405, 1, 0, Time(61)), ArrivedChat(0x405, 1, 0, Time(95)),
         ArrivedChat(0x405, 1, 0, Time(121)), ArrivedChat(0x405, 1, 0, Time(181))});
    EXPECT_THAT(Arrived(server.Stop()), ElementsAreArray(expected));
}

}  // namespace
}  // namespace korvane
