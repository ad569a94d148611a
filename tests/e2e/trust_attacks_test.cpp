// Attacks on honest players through what the server's TCP and IP layers refuse or put together:
// an upload in another connection's id, blind segments outside the window, a handshake the
// spoofer cannot complete, a remote bad-checksum decoy and an upload carried partly in IPv4
// fragments. Replayed through the built program against the stand-in server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::FreshDirectory;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(TrustAttacks, NoHonestPlayerIsRemovedAndEachAttackIsWarnedOf) {
    const std::filesystem::path dir = FreshDirectory("trust-attacks");
    ReplayedRun run(dir);
    StandinProcess server(run.dir());
    const std::string port = std::to_string(server.Port());
    ASSERT_TRUE(run.MakeCaptureFrom(
        std::filesystem::path(KORVANE_SOURCE_DIR) / "tests/e2e/attacks.scenario",
        {{"port", port}}));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + port, "/report", "/puretech"}), 0);
    const std::vector<std::string> log = run.Log();
    const std::vector<std::string> console = run.Running();
    const std::vector<std::string> arrived = Arrived(server.Stop());

    // Each attack leaves its warning.
    for (const char* warning :
         {"Warning: 127.0.0.3:40002, bound to player 0000003b, sent a message as player "
          "0000002a; ignored",
          "segments outside their connection's receive window dropped so far",
          "Warning: 1 connections not trusted so far",
          "frames with checksums the server's stack refuses dropped so far"}) {
        EXPECT_THAT(log, Contains(HasSubstr(warning))) << warning;
    }
    // The one cheater is judged from the datagram its fragments made, kicked and removed;
    // nobody else is.
    EXPECT_THAT(log, Contains(HasSubstr("0000006e \"Dee\" [Jumper] [127.0.0.6]: JJ Subsystem: "
                                        "INVALID")));
    EXPECT_THAT(arrived, Contains("[1] delete player 0000006e"));
    for (const char* honest : {"0000002a", "0000003b", "0000004c", "0000005d"}) {
        EXPECT_THAT(arrived, Not(Contains(std::string("[1] delete player ") + honest))) << honest;
        EXPECT_THAT(log, Not(Contains(HasSubstr(std::string(honest) + " \""))))
            << "no verdict against " << honest;
    }
    // The remote player's upload is read with its real last piece, Ann's own as it came.
    EXPECT_THAT(console, Contains("0000005d Faraway (Remote) VALID"));
    // (Her flow's numbers count the blind bytes, so her later bytes come after a gap that is
    // given up: the "*" of bytes held.)
    EXPECT_THAT(console, Contains("0000002a Ann (Honest) * VALID"));
    // The spoofer that could not open its connection is nobody: no greeting for Cy's id.
    EXPECT_EQ(std::count_if(arrived.begin(), arrived.end(),
                            [](const std::string& line) {
                                return line.find("-> 0000004c [7]") != line.npos;
                            }),
              0);
}

}  // namespace
}  // namespace korvane
