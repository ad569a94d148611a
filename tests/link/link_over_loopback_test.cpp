// The program's outgoing side on the real sockets layer, over a loopback connection to the
// stand-in game server: what the server receives, byte for byte; a server that drops the
// connection; a server that takes connections but refuses every send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <memory>

#include "app/event_log.h"
#include "capture/player_table.h"
#include "link/chat_sender.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/posix_sockets.h"
#include "platform/scripted_console.h"
#include "tests/support/child_process.h"
#include "tests/support/standin_process.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using korvane::testing::ReadWholeFile;
using korvane::testing::StandinProcess;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int64_t kStart = 1076424589;
constexpr std::array<uint8_t, 4> kPlayerAddress = {127, 0, 0, 5};
const std::string kVersion = "(2.1 (beta.1) Feb 10 2004 14:49:49 ) ";

// The descriptors this process holds open.
size_t OpenDescriptors() {
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// Waits until the peer of `socket` has closed or reset the connection.
bool PeerGone(SocketHandle socket) {
    pollfd watched{static_cast<int>(socket), POLLRDHUP, 0};
    return ::poll(&watched, 1, 5000) == 1;
}

// The program's outgoing side on real sockets, talking to a stand-in of the test's own.
class LinkOverLoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = korvane::testing::FreshDirectory(
            std::string("link-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        settings_.serverAddress = "127.0.0.1";
        table_.SetDisconnect([this](PlayerRecord& r) { removal_.DisconnectPlayer(r); });
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Starts the stand-in with `args` and connects the link to it.
    void StartServer(const std::vector<std::string>& args) {
        standin_ = std::make_unique<StandinProcess>(dir_, args);
        settings_.serverPort = standin_->Port();
        ASSERT_NE(settings_.serverPort, 0) << standin_->Errors();
        ASSERT_EQ(link_.ConnectToServer(settings_.serverPort), 0);
    }
    // Stops the stand-in; what it printed.
    std::vector<std::string> StopServer() { return standin_->Stop(); }
    // A kicked player whose grace time is over, swept.
    PlayerRecord& KickAndSweep() {
        PlayerRecord& record = table_.GetPlayerWithId(0x100, kPlayerAddress);
        record.SetNames(u"Mech", "Mech");
        removal_.SendFarewell(record);
        clock_.SetSeconds(kStart + PlayerRemoval::kGraceSeconds + 1);
        table_.SweepPlayers();
        return record;
    }

    std::filesystem::path dir_;
    ManualClock clock_{{kStart, 0}};
    ScriptedConsole console_;
    EventLog log_{clock_, console_};
    std::unique_ptr<Sockets> sockets_ = MakePosixSockets();
    RunSettings settings_;
    ServerLink link_{*sockets_, log_, settings_};
    ChatSender chat_{link_, log_, settings_};
    PlayerRemoval removal_{link_, chat_, log_, settings_};
    PlayerTable table_{clock_};
    std::unique_ptr<StandinProcess> standin_;
};

TEST_F(LinkOverLoopbackTest, ServerReceivesChatAndRemovalByteForByte) {
    StartServer({"--dump", (dir_ / "received").string()});
    chat_.KorvaneMessage(0x102, 1, 0, "hi", false);
    chat_.KorvaneMessage(1, 0x100, 7, "Welcome", false);
    PlayerRecord& record = KickAndSweep();
    EXPECT_FALSE(record.active);
    ASSERT_TRUE(standin_->WaitForLines(7, 10s));

    std::vector<uint8_t> expected;
    for (const std::vector<uint8_t>& message :
         {tools::BuildChatMessage(0x102, 1, 0, kVersion + "hi"),
          tools::BuildChatMessage(1, 0x100, 7, kVersion + "Welcome"),
          tools::BuildChatMessage(1, 0x100, 0, kVersion + "See ya later Mech."),
          tools::BuildDeletionMessage(0x100), tools::BuildDeletionMessage(0xFF)}) {
        expected.insert(expected.end(), message.begin(), message.end());
    }
    EXPECT_EQ(expected.size(), 76u + 81 + 92 + 48 + 48);
    const std::vector<std::string> lines = StopServer();
    const std::string received = ReadWholeFile(dir_ / "received.1");
    EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.end()), expected);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.begin() + 7),
                ElementsAre("[1] chat 00000102 -> 00000001 [0]: " + kVersion + "hi",
                            "[1] chat 00000001 -> 00000100 [7]: " + kVersion + "Welcome",
                            "[1] chat 00000001 -> 00000100 [0]: " + kVersion + "See ya later Mech.",
                            "[1] delete player 00000100", "[1] delete player 000000ff"));
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:49:49: Connection to server 127.0.0.1 established\n");
}

TEST_F(LinkOverLoopbackTest, DroppedConnectionIsReplacedAndNothingIsLost) {
    StartServer({"--drop-after", "2"});
    chat_.KorvaneMessage(1, 0x100, 0, "one", false);
    chat_.KorvaneMessage(1, 0x100, 0, "two", false);
    ASSERT_TRUE(standin_->WaitForLine("standin: connection 1 closed after 154 bytes", 10s));
    ASSERT_TRUE(PeerGone(link_.linkSocket()));
    chat_.KorvaneMessage(1, 0x100, 0, "three", false);  // finds the link closed: a new one
    // The farewell is the second message on the new connection, which is dropped after it: the
    // removal finds the link closed, reconnects and sends both deletions on a third.
    PlayerRecord& record = table_.GetPlayerWithId(0x100, kPlayerAddress);
    record.SetNames(u"Mech", "Mech");
    removal_.SendFarewell(record);
    ASSERT_TRUE(standin_->WaitForLine("standin: dropping connection 2 after 2 messages", 10s));
    ASSERT_TRUE(PeerGone(link_.linkSocket()));
    clock_.SetSeconds(kStart + 6);
    table_.SweepPlayers();
    EXPECT_FALSE(record.active);
    ASSERT_TRUE(standin_->WaitForLine("standin: dropping connection 3 after 2 messages", 10s));

    const std::vector<std::string> lines = StopServer();
    std::vector<std::string> messages;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(messages),
                 [](const std::string& line) { return line.starts_with("["); });
    EXPECT_THAT(messages,
                ElementsAre("[1] chat 00000001 -> 00000100 [0]: " + kVersion + "one",
                            "[1] chat 00000001 -> 00000100 [0]: " + kVersion + "two",
                            "[2] chat 00000001 -> 00000100 [0]: " + kVersion + "three",
                            "[2] chat 00000001 -> 00000100 [0]: " + kVersion + "See ya later Mech.",
                            "[3] delete player 00000100", "[3] delete player 000000ff"));
    const std::string log = console_.output();
    EXPECT_THAT(log, HasSubstr(": Socket error in KorvaneMessage(): code=32\n"));
    EXPECT_THAT(log, HasSubstr(": 00000100 \"Mech\"  [Unknown] [127.0.0.5]: Socket error in "
                               "DisconnectPlayer() [1]: code="));
}

TEST_F(LinkOverLoopbackTest, ServerThatRefusesEverySendDoesNotHoldTheProgram) {
    StartServer({"--refuse"});
    ASSERT_TRUE(standin_->WaitForLine("standin: connection 1 closed after 0 bytes", 10s));
    ASSERT_TRUE(PeerGone(link_.linkSocket()));
    const size_t descriptors = OpenDescriptors();
    const auto start = std::chrono::steady_clock::now();
    constexpr int kLines = 20;
    for (int n = 0; n < kLines; ++n) {
        chat_.KorvaneMessage(1, 0x100, 0, "line " + std::to_string(n), false);
    }
    PlayerRecord& record = KickAndSweep();
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(spent, 20s);
    EXPECT_LE(OpenDescriptors(), descriptors);  // every replaced socket was closed

    const std::vector<std::string> lines = StopServer();
    const auto connections = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.starts_with("standin: refusing connection");
    });
    // At most one connection per try: the first send and its few resends for every line, the
    // farewell, and the removal's first attempt and its restarts.
    EXPECT_LE(connections,
              1 + (kLines + 1) * (1 + ChatSender::kMaxResends) + (1 + PlayerRemoval::kMaxRestarts));
    EXPECT_THAT(console_.output(), HasSubstr("Socket error in KorvaneMessage(): code="));
    // The removal either went into a connection before its reset (and was lost with it) or
    // failed and waits for a later sweep; either way it was tried.
    EXPECT_TRUE(!record.active ||
                console_.output().find("Socket error in DisconnectPlayer() [") != std::string::npos)
        << console_.output();
}

TEST_F(LinkOverLoopbackTest, ReconnectionsLeaveNoDescriptorsBehind) {
    StartServer({});
    const size_t descriptors = OpenDescriptors();
    for (int n = 0; n < 15; ++n) {
        ASSERT_EQ(link_.ConnectToServer(settings_.serverPort), 0);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    chat_.KorvaneMessage(1, 0x100, 0, "still here", false);
    ASSERT_TRUE(standin_->WaitForLine(
        "[16] chat 00000001 -> 00000100 [0]: " + kVersion + "still here", 10s));
}

}  // namespace
}  // namespace korvane
