#include "link/server_link.h"

#include <gtest/gtest.h>

#include "platform/fake_sockets.h"
#include "platform/scripted_console.h"

namespace korvane {
namespace {

class ServerLinkTest : public ::testing::Test {
  protected:
    ServerLinkTest() { settings_.serverAddress = "10.0.0.1"; }

    ManualClock clock_{{1076424589, 0}};
    ScriptedConsole console_;
    EventLog log_{clock_, console_};  // never opened: lines reach the console only
    FakeSockets sockets_;
    RunSettings settings_;
    ServerLink link_{sockets_, log_, settings_};
};

TEST_F(ServerLinkTest, StartAndStopLogTheirCodes) {
    sockets_.startup = {10, "Sockets", "Ready"};
    sockets_.cleanupResult = 4;
    EXPECT_EQ(link_.StartSockets(), 10);
    EXPECT_EQ(link_.StopSockets(), 4);
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:49:49: TCP/IP Started (10)\n"
              "Tue Feb 10 14:49:49: Sockets Ready\n"
              "Tue Feb 10 14:49:49: Shutdown TCP/IP (4)\n");
}

TEST_F(ServerLinkTest, StartupLineIsCutToItsBuffer) {
    sockets_.startup = {0, std::string(80, 'd'), "status"};
    link_.StartSockets();
    EXPECT_NE(console_.output().find(": " + std::string(63, 'd') + "\n"), std::string::npos);
}

TEST_F(ServerLinkTest, ConnectsToTheServerAddressAndPort) {
    EXPECT_EQ(link_.ConnectToServer(2300), 0);
    EXPECT_TRUE(link_.linkUp());
    ASSERT_EQ(sockets_.connects.size(), 1u);
    EXPECT_EQ(sockets_.connects[0].address, 0x0A000001u);
    EXPECT_EQ(sockets_.connects[0].port, 2300);
    EXPECT_EQ(sockets_.connects[0].socket, link_.linkSocket());
    EXPECT_EQ(sockets_.noDelay.count(link_.linkSocket()), 1u);
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:49:49: Connection to server 10.0.0.1 established\n");
}

TEST_F(ServerLinkTest, SendsBoundHowLongTheyWaitForTheServer) {
    link_.ConnectToServer(2300);
    EXPECT_EQ(sockets_.sendTimeouts.at(link_.linkSocket()), ServerLink::kSendTimeoutMs);
}

TEST_F(ServerLinkTest, MessageIsWrittenWholeOverShortSends) {
    link_.ConnectToServer(2300);
    sockets_.maxSendBytes = 7;
    const std::vector<uint8_t> message(48, 0xAB);
    EXPECT_EQ(link_.SendMessage(message), 0);
    EXPECT_EQ(sockets_.sendCalls, 7);
    EXPECT_EQ(sockets_.sent[link_.linkSocket()], message);
}

TEST_F(ServerLinkTest, FailureAfterPartOfAMessageIsAFailure) {
    link_.ConnectToServer(2300);
    sockets_.maxSendBytes = 20;
    sockets_.sendResults = {true, false};
    EXPECT_EQ(link_.SendMessage(std::vector<uint8_t>(48, 1)), -1);
    EXPECT_EQ(link_.LastError(), 32);
}

TEST_F(ServerLinkTest, NothingIsWrittenToAConnectionTheServerClosed) {
    link_.ConnectToServer(2300);
    sockets_.peerClosed.insert(link_.linkSocket());
    EXPECT_EQ(link_.SendMessage(std::vector<uint8_t>(48, 1)), -1);
    EXPECT_EQ(link_.LastError(), 104);
    EXPECT_EQ(sockets_.sendCalls, 0);
}

TEST_F(ServerLinkTest, SendingWithoutAConnectionFails) {
    EXPECT_EQ(link_.SendMessage(std::vector<uint8_t>(48, 1)), -1);
    sockets_.refuseConnects = true;
    link_.ConnectToServer(2300);
    EXPECT_EQ(link_.SendMessage(std::vector<uint8_t>(48, 1)), -1);
    EXPECT_TRUE(sockets_.sent.empty());
}

TEST_F(ServerLinkTest, DeliveryReconnectsAfterEachFailureAndStopsAfterItsRetries) {
    link_.ConnectToServer(2300);
    int attempts = 0;
    EXPECT_EQ(link_.Deliver(2, [&] { return ++attempts == 2 ? 0 : -1; }), Delivery::sent);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(sockets_.connects.size(), 2u);

    attempts = 0;
    EXPECT_EQ(link_.Deliver(2,
                            [&] {
                                ++attempts;
                                return -1;
                            }),
              Delivery::gaveUp);
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(sockets_.connects.size(), 5u);  // one after every failure, the last one too
    EXPECT_TRUE(link_.linkUp());

    attempts = 0;
    sockets_.refuseConnects = true;
    EXPECT_EQ(link_.Deliver(2,
                            [&] {
                                ++attempts;
                                return -1;
                            }),
              Delivery::linkDown);
    EXPECT_EQ(attempts, 1);
    EXPECT_FALSE(link_.linkUp());
}

TEST_F(ServerLinkTest, PortIsUsedAsSixteenBits) {
    link_.ConnectToServer(65536 + 2300);
    EXPECT_EQ(sockets_.connects.at(0).port, 2300);
}

TEST_F(ServerLinkTest, FailedConnectionTakesTheLinkDown) {
    ASSERT_EQ(link_.ConnectToServer(2300), 0);
    sockets_.refuseConnects = true;
    EXPECT_EQ(link_.ConnectToServer(2300), -1);
    EXPECT_FALSE(link_.linkUp());
    EXPECT_TRUE(console_.output().ends_with(": could not connect to server\n"));
    EXPECT_TRUE(sockets_.open.empty());  // both the replaced and the failed socket are closed
}

TEST_F(ServerLinkTest, ReconnectingClosesTheReplacedSocket) {
    link_.ConnectToServer(2300);
    SocketHandle first = link_.linkSocket();
    link_.ConnectToServer(2300);
    EXPECT_NE(link_.linkSocket(), first);
    EXPECT_EQ(sockets_.open.size(), 1u);
    EXPECT_EQ(sockets_.closed, std::vector<SocketHandle>{first});
}

TEST_F(ServerLinkTest, KnowsItsOwnEndOnlyWhileUp) {
    EXPECT_FALSE(link_.localEnd());
    ASSERT_EQ(link_.ConnectToServer(2300), 0);
    const std::optional<SocketEnd> first = link_.localEnd();
    ASSERT_TRUE(first);
    EXPECT_EQ(first, sockets_.LocalEnd(link_.linkSocket()));
    link_.ConnectToServer(2300);
    EXPECT_NE(link_.localEnd(), first);  // the new connection's end
    sockets_.refuseConnects = true;
    link_.ConnectToServer(2300);
    EXPECT_FALSE(link_.localEnd());

    settings_.testMode = true;  // no connection, so no end of its own
    ASSERT_EQ(link_.ConnectToServer(2300), 0);
    EXPECT_FALSE(link_.localEnd());
}

TEST_F(ServerLinkTest, StoppingTheSocketsLayerEndsTheLink) {
    link_.ConnectToServer(2300);
    link_.StopSockets();
    EXPECT_TRUE(sockets_.open.empty());
    EXPECT_FALSE(link_.linkUp());
    EXPECT_EQ(sockets_.cleanups, 1);
}

TEST_F(ServerLinkTest, SocketThatCannotBeCreatedFailsTheAttempt) {
    sockets_.failOpen = true;
    EXPECT_EQ(link_.ConnectToServer(2300), -1);
    EXPECT_TRUE(sockets_.connects.empty());
    EXPECT_TRUE(console_.output().ends_with(": could not connect to server\n"));
}

TEST_F(ServerLinkTest, TestModeIsUpWithoutTheNetwork) {
    settings_.testMode = true;
    EXPECT_EQ(link_.ConnectToServer(2300), 0);
    EXPECT_TRUE(link_.linkUp());
    EXPECT_TRUE(sockets_.connects.empty());
    EXPECT_EQ(console_.output(), "");
}

TEST_F(ServerLinkTest, TextThatIsNoAddressNeverConnects) {
    settings_.serverAddress = "not.an.address";
    link_.ConnectToServer(2300);
    EXPECT_EQ(sockets_.connects.at(0).address, 0xFFFFFFFFu);
}

TEST(DottedAddress, ConvertsBothWays) {
    EXPECT_EQ(ParseDottedAddress("192.168.0.10"), 0xC0A8000Au);
    EXPECT_EQ(ParseDottedAddress("bogus"), 0xFFFFFFFFu);
    EXPECT_EQ(DottedText(0x7F000001), "127.0.0.1");
}

}  // namespace
}  // namespace korvane
