// The built program reading players' TCP streams as a receiver's TCP would: one session
// (stream_session.scenario) replayed against the stand-in game server twice, once with every
// message in a segment of its own and once with each player's TCP misbehaving in its own way
// (pieces in one segment with a chat command, messages over many segments, retransmissions with
// the same and with other bytes, segments out of order, a lost frame, a connection found inside
// a message, two players behind one address). The guard must judge the players alike: the same
// log and console lines but for warnings, and the same bytes sent to the server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::ArrivedOn;
using korvane::testing::FreshDirectory;
using korvane::testing::LogStamp;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

const std::filesystem::path kSession =
    std::filesystem::path(KORVANE_SOURCE_DIR) / "tests/e2e/stream_session.scenario";

// Each player's TCP in the session: the scenario's variables, misbehaving and clean.
struct PlayerTcp {
    std::string variable;
    std::string misbehaving;
    std::string clean;
};
const std::vector<PlayerTcp> kPlayers = {
    // The capture starts inside Late's first message, or after it.
    {"late", "skip=25", "lose=0"},
    {"mira", "coalesce", ""},  // three pieces in one segment,
    {"miraChat", "with", ""},  // and a chat command in it too
    {"kit", "mss=50", ""},     // every message over six segments or more
    {"nova", "mss=120 retransmit=1,3:other", ""},
    {"rex", "mss=100 segorder=3,0,5,1,4,2", ""},
    {"vex", "lose=0", ""},  // a frame the capture lost
    // Behind one address.
    {"honest", "mss=90 tsopt", ""},
    {"cheater", "coalesce retransmit=0:other", ""},
};

// What a replay of the session showed.
struct Replayed {
    std::vector<std::string> log;      // while running, without warnings
    std::vector<std::string> console;  // while running, without warnings
};

std::vector<std::string> WithoutWarnings(std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) {
        const size_t stamp = line.find(": ");
        return line.starts_with("Warning:") ||
               (stamp != std::string::npos && line.compare(stamp + 2, 8, "Warning:") == 0);
    });
    return lines;
}

// Replays the session against the stand-in on `port`, and waits until the stand-in has seen the
// guard's link (its connection `connection`) closed.
Replayed Replay(const std::filesystem::path& dir, StandinProcess& server, const std::string& port,
                bool misbehaving, int connection) {
    ReplayedRun run(dir);
    std::map<std::string, std::string> variables = {{"port", port}};
    for (const PlayerTcp& player : kPlayers) {
        variables[player.variable] = misbehaving ? player.misbehaving : player.clean;
    }
    Replayed replayed;
    if (!run.MakeCaptureFrom(kSession, variables)) {
        ADD_FAILURE() << "no capture of " << kSession;
        return replayed;
    }
    EXPECT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + port, "/report", "/puretech"}), 0)
        << ReadWholeFile(run.dir() / "korvane.out");
    EXPECT_TRUE(server.WaitForClose(connection, 10s));
    replayed.log = WithoutWarnings(run.LogWhileRunning());
    replayed.console = WithoutWarnings(run.Running());
    return replayed;
}

class StreamReplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = FreshDirectory(std::string("stream-") +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(StreamReplayTest, MisbehavingTcpIsJudgedAsCleanSegments) {
    // One stand-in for both runs, so that both name the same port.
    StandinProcess server(dir_, {"--dump", (dir_ / "link").string()});
    const std::string port = std::to_string(server.Port());
    const Replayed clean = Replay(dir_ / "clean", server, port, false, 1);
    const Replayed misbehaving = Replay(dir_ / "misbehaving", server, port, true, 2);
    const std::vector<std::string> printed = server.Stop();
    const std::vector<std::string> arrived = Arrived(printed);

    // The players on addresses of their own in clean segments: each upload judged, the one
    // with jump jets kicked and removed, the mixed-tech one announced.
    EXPECT_THAT(clean.log,
                Contains(LogStamp(13) + "0000005d \"Rex\" [Out of order] [127.0.0.5]: Atlas config "
                                        "'Scrambled' is INVALID: Illegal components"));
    for (const char* line :
         {"0000002a Mira (Coalescer) VALID", "0000003b Kit Fox (Small segments) VALID",
          "0000004c Nova (Says it twice) VALID", "0000005d Rex (Out of order) INVALID",
          "0000006e Vex (Lossy) VALID", "0000007f 0000007f (Latecomer) VALID"}) {
        EXPECT_THAT(clean.console, Contains(line));
    }
    for (const std::string& line :
         {ArrivedChat(0x2a, 1, 0, "Mira selected Atlas Variant (IS Tech)"),
          ArrivedChat(0x2a, 1, 0, "~version, ~time, ~commands"),
          ArrivedChat(0x3b, 1, 0, "Kit Fox selected Mad Cat Variant (Mixed Tech)", true),
          ArrivedChat(0x4c, 1, 0, "Nova selected Atlas Variant (IS Tech)"),
          ArrivedChat(0x5d, 1, 0, "Rex kicked.", true), std::string("[1] delete player 0000005d"),
          ArrivedChat(0x6e, 1, 0, "Vex selected Atlas Variant (IS Tech)"),
          ArrivedChat(1, 0x7f, 7, "PureTech checking is active"),
          ArrivedChat(0x7f, 1, 0, "0000007f selected Atlas Variant (IS Tech)")}) {
        EXPECT_THAT(arrived, Contains(line));
    }

    EXPECT_EQ(misbehaving.log, clean.log);
    EXPECT_EQ(misbehaving.console, clean.console);
    EXPECT_EQ(ArrivedOn(printed, 2), ArrivedOn(printed, 1));
    EXPECT_TRUE(ReadWholeFile(dir_ / "link.2") == ReadWholeFile(dir_ / "link.1"))
        << "the guard sent other bytes to the server than for the session in clean segments";
}

TEST_F(StreamReplayTest, TwoPlayersBehindOneAddressAreJudgedApart) {
    StandinProcess server(dir_);
    const Replayed clean = Replay(dir_ / "clean", server, std::to_string(server.Port()), false, 1);
    const std::vector<std::string> arrived = Arrived(server.Stop());
    // Cheater's jump jets get him kicked and removed; Honest, from another port of the same
    // address, keeps his own name and verdict and is still answered after the removal.
    EXPECT_THAT(clean.log,
                Contains(LogStamp(19) + "0000009b \"Cheater\" [Same roof too] [127.0.0.8]: Atlas "
                                        "config 'Hopper' is INVALID: Illegal components"));
    EXPECT_THAT(clean.console, Contains("0000008a Honest (Same roof) VALID"));
    EXPECT_THAT(clean.console, Contains("0000009b Cheater (Same roof too) INVALID"));
    for (const std::string& line :
         {ArrivedChat(0x8a, 1, 0, "Honest selected Atlas Variant (IS Tech)"),
          ArrivedChat(0x9b, 1, 0, "Cheater kicked.", true),
          std::string("[1] delete player 0000009b"),
          ArrivedChat(0x8a, 1, 0, "Valid: Honest: IS")}) {
        EXPECT_THAT(arrived, Contains(line));
    }
    EXPECT_THAT(arrived, Not(Contains("[1] delete player 0000008a")));
    EXPECT_THAT(arrived, Not(Contains(HasSubstr("Cheater: IS"))));
}

}  // namespace
}  // namespace korvane
