// The built program under attack: each hostile capture of tools/hostile/ holds the honest
// session of honest.scenario with an attack mixed in. Replayed against the stand-in game server,
// the program must read the capture to its end and judge the honest players exactly as it does
// in their session alone: the same log lines, configuration lines, chat lines and removals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/format.h"
#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::Contains;
using ::testing::HasSubstr;

const std::filesystem::path kScenarios =
    std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/hostile";

// The honest players of honest.scenario: their ids and addresses.
constexpr std::array<uint32_t, 3> kHonestIds = {0x102, 0x203, 0x304};
constexpr std::array<const char*, 3> kHonestAddresses = {"[127.0.0.2]", "[127.0.0.3]",
                                                         "[127.0.0.4]"};

// What a run shows of the honest players, and how many frames it read of how many.
struct Judged {
    std::vector<std::string> log;
    std::vector<std::string> console;
    std::vector<std::string> arrived;
    std::string packetsLine;
    std::string expectedPacketsLine;
    std::vector<std::string> wholeConsole;
};

template <typename Keep>
std::vector<std::string> Kept(const std::vector<std::string>& lines, Keep keep) {
    std::vector<std::string> kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), keep);
    return kept;
}

// Replays a scenario of tools/hostile/ against a stand-in of its own in `dir`.
Judged Replayed(const std::filesystem::path& dir, const std::string& scenario, int count,
                int addresses = 0) {
    ReplayedRun run(dir);
    StandinProcess server(run.dir());
    const std::string port = std::to_string(server.Port());
    const std::optional<uint64_t> frames =
        run.MakeCaptureFrom(kScenarios / scenario, {{"port", port},
                                                    {"count", std::to_string(count)},
                                                    {"addresses", std::to_string(addresses)}});
    EXPECT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + port, "/report", "/puretech"}), 0);

    Judged judged;
    judged.expectedPacketsLine = std::to_string(frames.value_or(0)) + " packets received.";
    for (const std::string& line : run.Log()) {
        if (line.find(" packets received.") != std::string::npos) {
            judged.packetsLine =
                line.substr(line.find(": ") + 2, judged.expectedPacketsLine.size());
        }
    }
    judged.wholeConsole = run.Console();
    judged.log = Kept(run.LogWhileRunning(), [](const std::string& line) {
        return std::any_of(kHonestAddresses.begin(), kHonestAddresses.end(),
                           [&](const char* address) { return line.find(address) != line.npos; });
    });
    // Configuration and leaving lines; "User connected" tells nothing of who connected.
    judged.console = Kept(run.Running(), [](const std::string& line) {
        return !line.ends_with("User connected") &&
               std::any_of(kHonestIds.begin(), kHonestIds.end(), [&](uint32_t id) {
                   return line.starts_with(StringPrintf("%08x ", id));
               });
    });
    judged.arrived = Kept(Arrived(server.Stop()), [](const std::string& line) {
        return line.find("delete player") != line.npos ||
               std::any_of(kHonestIds.begin(), kHonestIds.end(), [&](uint32_t id) {
                   return line.find(StringPrintf("chat %08x ", id)) != line.npos ||
                          line.find(StringPrintf("-> %08x ", id)) != line.npos;
               });
    });
    return judged;
}

struct HostileCase {
    std::string name;
    std::string scenario;
    int count;  // ${count}: the size of the attack
    // Where the program shows that the attack reached it: console lines holding this text, at
    // least so many of them (none for attacks that leave no trace by design).
    std::string trace = "";
    int traceLines = 0;
    int addresses = 0;  // ${addresses}, where the scenario takes it
    // Whether the honest players are judged exactly as without the attack. Where an id was
    // taken before its player joined, that player is not judged at all: nobody is removed.
    bool judgedAlike = true;
};

void PrintTo(const HostileCase& test, std::ostream* out) {
    *out << test.name;
}

class HostileTraffic : public ::testing::TestWithParam<HostileCase> {
  protected:
    void SetUp() override { dir_ = FreshDirectory("hostile-" + GetParam().name); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_P(HostileTraffic, HonestPlayersAreJudgedAsWithoutTheAttack) {
    const Judged clean = Replayed(dir_ / "clean", "honest.scenario", 0);
    // The honest session alone: a kick, a removal and chat answers to compare with.
    ASSERT_THAT(clean.log, Contains(HasSubstr("'Skyhook' is INVALID: Illegal components")));
    ASSERT_THAT(clean.arrived, Contains(ArrivedChat(0x203, 1, 0, "Jumper kicked.", true)));
    ASSERT_THAT(clean.arrived, Contains("[1] delete player 00000203"));
    ASSERT_THAT(clean.arrived, Contains(ArrivedChat(0x102, 1, 0, "~version, ~time, ~commands")));
    ASSERT_THAT(clean.console, Contains("00000304 Nova (Star captain) VALID"));

    const Judged hostile =
        Replayed(dir_ / "hostile", GetParam().scenario, GetParam().count, GetParam().addresses);
    EXPECT_EQ(hostile.packetsLine, hostile.expectedPacketsLine) << "the capture was not read whole";
    EXPECT_GE(std::count_if(
                  hostile.wholeConsole.begin(), hostile.wholeConsole.end(),
                  [](const std::string& line) { return line.find(GetParam().trace) != line.npos; }),
              GetParam().traceLines);
    // However large the attack, the log tells of it in a bounded number of lines.
    EXPECT_LE(hostile.wholeConsole.size(), clean.wholeConsole.size() + 100);
    if (!GetParam().judgedAlike) {
        // The player whose id stayed his is judged; nobody is removed.
        EXPECT_THAT(hostile.console, Contains("00000304 Nova (Star captain) VALID"));
        EXPECT_THAT(hostile.arrived, Not(Contains(HasSubstr("delete player"))));
        return;
    }
    EXPECT_EQ(hostile.log, clean.log);
    EXPECT_EQ(hostile.console, clean.console);
    EXPECT_EQ(hostile.arrived, clean.arrived);
}

// Sizes that keep each run within a few seconds; tools/measure-hostile.sh runs them full size.
INSTANTIATE_TEST_SUITE_P(
    Attacks, HostileTraffic,
    ::testing::Values(
        HostileCase{"SpoofedAddresses", "spoof.scenario", 70'000,
                    "Warning: the player table is full; ", 1},
        HostileCase{"PiecesAheadOfTheirTurn", "queue.scenario", 20'000,
                    "[127.0.0.66]: Warning: more than 32 configuration pieces", 1},
        HostileCase{"QueuesOfManyPlayersFillUp", "queues.scenario", 3'300,
                    "]: Warning: more than 32 configuration pieces", 1, 100},
        HostileCase{"EndlessMiddlePieces", "stream.scenario", 20'000},
        HostileCase{"SplitMessagesThatNeverJoin", "split.scenario", 5'000},
        HostileCase{"RandomFrames", "random.scenario", 10'000},
        // One warning for each address would fill the log: ten a minute, the rest counted.
        HostileCase{"PlayerIdsFromOtherAddresses", "reuse.scenario", 5'000,
                    "warnings about single connections left out of the log so far", 1, 0, false},
        HostileCase{"SegmentsBeyondGapsThatNeverFill", "ahead.scenario", 20'000, "", 0, 1'000},
        HostileCase{"ManyPortsOfFewAddresses", "ports.scenario", 17'000,
                    "Warning: the player table is full; ", 1},
        HostileCase{"FragmentsThatNeverComplete", "fragments.scenario", 5'000,
                    "fragmented datagrams dropped so far", 1},
        HostileCase{"SynFloodWithoutHandshakes", "synflood.scenario", 5'000,
                    "connections not trusted so far", 1}),
    [](const ::testing::TestParamInfo<HostileCase>& param) { return param.param.name; });

}  // namespace
}  // namespace korvane
