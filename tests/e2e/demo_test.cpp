// The demo as a newcomer runs it: the script builds what it needs (here: finds it built),
// replays the bundled session against the stand-in game server and shows the console, the log,
// what the server received and the collected variant file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::Section;
using korvane::testing::SplitLines;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

TEST(Demo, ReplaysTheSessionAndShowsWhatKorvaneMadeOfIt) {
    const std::filesystem::path dir = FreshDirectory("demo");
    const std::filesystem::path run = dir / "run";
    ChildProcess::Options options = ChildProcess::In(dir, dir / "demo.out");
    options.environment = {"TZ=UTC", std::string("KORVANE_BUILD_DIR=") + KORVANE_BINARY_DIR,
                           "KORVANE_DEMO_DIR=" + run.string()};
    ChildProcess demo("/bin/bash", {std::string(KORVANE_SOURCE_DIR) + "/tools/demo.sh"}, options);
    ASSERT_EQ(demo.Wait(300s), 0) << ReadWholeFile(dir / "demo.out");
    const std::vector<std::string> lines = SplitLines(ReadWholeFile(dir / "demo.out"));

    const auto console = Section(lines, "=== Korvane's console", "=== Korvane.log");
    EXPECT_THAT(console, Contains("Tue Feb 03 14:50:00: Server port 2300 detected (0001)"));
    EXPECT_THAT(console, Contains("00000304 Jumper (Sky high) INVALID"));
    EXPECT_THAT(console, Contains("Tue Feb 03 14:51:01 2004"));

    const auto log = Section(lines, "=== Korvane.log", "=== What the game server received");
    EXPECT_THAT(log, Contains("Tue Feb 03 14:50:40: 00000304 \"Jumper\" [Sky high] [127.0.0.4]: "
                              "Atlas config 'Skyhook' is INVALID: Illegal components"));
    EXPECT_THAT(log, Contains("Tue Feb 03 14:53:06: Shutdown complete."));

    const std::string version = "(2.1 (beta.1) Feb 10 2004 14:49:49 ) ";
    const auto received =
        Section(lines, "=== What the game server received on Korvane's connection",
                "=== Collected variants");
    for (const std::string& line : {
             "chat 00000203 -> 00000001 [0]: " + version +
                 "Alert: Kit Fox selected Mad Cat Variant (Mixed Tech)",
             "chat 00000304 -> 00000001 [0]: " + version +
                 "Alert: Bye Jumper, read the rules at the lobby.",
             "chat 00000304 -> 00000001 [0]: " + version +
                 "Alert: Illegal Jump Jets subsystem on 'Skyhook'",
             "chat 00000001 -> 00000304 [0]: " + version + "See ya later Jumper.",
             std::string("delete player 00000304"),
             "chat 00000102 -> 00000001 [0]: " + version + "~version, ~time, ~commands",
             "chat 00000405 -> 00000001 [0]: " + version + "Violation: Kit Fox: Mixed",
             "chat 00000405 -> 00000001 [0]: " + version + "Tue Feb 03 14:53:01 2004",
         }) {
        EXPECT_THAT(received, Contains(line));
    }

    const std::filesystem::path collected = run / "401fb540.00000304.variant.mw4";
    EXPECT_THAT(
        Section(lines, "=== Collected variants", "The run's files are in " + run.string() + "."),
        Contains(HasSubstr(collected.string() + " (469 bytes")));
    EXPECT_EQ(std::filesystem::file_size(collected), 469u);
}

}  // namespace
}  // namespace korvane
