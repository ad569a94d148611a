#include "link/player_removal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "capture/player_table.h"
#include "tests/link/link_world.h"

namespace korvane {
namespace {

using korvane::testing::ChatLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::array<uint8_t, 4> kPlayerAddress = {10, 0, 0, 5};

TEST(DeletionMessageLayout, CarriesThePlayerIdAtThirtyTwo) {
    std::vector<uint8_t> expected = {0x30, 0x00, 0xB0, 0xFA, 0x02, 0x00};
    expected.resize(20, 0);
    expected.insert(expected.end(), {'p', 'l', 'a', 'y', 11, 0, 13, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {0x00, 0x01, 0x00, 0x00});
    expected.resize(48, 0);
    EXPECT_EQ(BuildDeletionMessage(0x100), expected);
    const std::vector<uint8_t> below = BuildDeletionMessage(0x100 - 1);
    EXPECT_EQ(std::vector<uint8_t>(below.begin() + 32, below.begin() + 36),
              (std::vector<uint8_t>{0xFF, 0x00, 0x00, 0x00}));
}

class PlayerRemovalTest : public ::testing::Test, public korvane::testing::LinkWorld {
  protected:
    PlayerRemovalTest() {
        table.SetDisconnect([this](PlayerRecord& r) { removal.DisconnectPlayer(r); });
        record.SetNames(u"Mech", "Mech");
    }

    // Sweeps at `second` seconds after the farewell.
    void SweepAt(int second) {
        clock.SetSeconds(kFarewellAt + second);
        table.SweepPlayers();
    }
    // A farewell, then a sweep after the grace time while the link fails and cannot come back.
    void KickWhileTheServerIsDown() {
        removal.SendFarewell(record);
        sockets.failSends = 1;
        sockets.refuseConnects = true;
        SweepAt(6);
    }
    bool Followed() const { return table.Find("10.0.0.5") != nullptr; }

    static constexpr int64_t kFarewellAt = 1076424589;
    PlayerTable table{clock};
    PlayerRecord& record = table.GetPlayerWithId(0x100, kPlayerAddress);
    PlayerRemoval removal{link, chat, log, settings};
};

TEST_F(PlayerRemovalTest, FarewellThenTwoDeletionsOnceTheGraceIsOver) {
    removal.SendFarewell(record);
    EXPECT_TRUE(record.kickPending);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(1, 0x100, 0, "See ya later Mech.")));

    SweepAt(3);
    table.GetPlayer(kPlayerAddress);  // the player's traffic no longer holds the removal off
    SweepAt(5);
    EXPECT_EQ(Received().size(), 1u);
    EXPECT_TRUE(record.active);

    SweepAt(6);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(1, 0x100, 0, "See ya later Mech."),
                                        "delete player 00000100", "delete player 000000ff"));
    EXPECT_FALSE(record.active);
    EXPECT_TRUE(Followed());
    SweepAt(7);
    EXPECT_FALSE(Followed());
    EXPECT_THAT(console.output(), IsEmpty());
}

TEST_F(PlayerRemovalTest, SecondFarewellDoesNothing) {
    removal.SendFarewell(record);
    const int32_t start = record.idleTimer.start();
    clock.SetSeconds(kFarewellAt + 3);
    chat.ForgetLastMessage();
    removal.SendFarewell(record);
    EXPECT_EQ(Received().size(), 1u);
    EXPECT_EQ(record.idleTimer.start(), start);
    EXPECT_EQ(record.idleTimer.duration(), PlayerRemoval::kGraceSeconds);
}

TEST_F(PlayerRemovalTest, TestModeSendsNothingButStillRemoves) {
    settings.testMode = true;
    removal.SendFarewell(record);
    EXPECT_TRUE(record.kickPending);
    EXPECT_EQ(record.idleTimer.duration(), PlayerRemoval::kGraceSeconds);
    SweepAt(6);
    EXPECT_FALSE(record.active);
    EXPECT_EQ(sockets.sendCalls, 0);
}

TEST_F(PlayerRemovalTest, SilentModeStillSendsTheDeletions) {
    settings.silent = true;
    removal.SendFarewell(record);
    SweepAt(6);
    EXPECT_THAT(Received(), ElementsAre("delete player 00000100", "delete player 000000ff"));
    EXPECT_FALSE(record.active);
}

TEST_F(PlayerRemovalTest, FailedFirstDeletionReconnectsAndStartsAgain) {
    removal.SendFarewell(record);
    const SocketHandle first = link.linkSocket();
    sockets.failSends = 1;
    SweepAt(6);
    EXPECT_NE(link.linkSocket(), first);
    EXPECT_THAT(Received(link.linkSocket()),
                ElementsAre("delete player 00000100", "delete player 000000ff"));
    EXPECT_FALSE(record.active);
    EXPECT_THAT(LogLines(), ElementsAre("00000100 \"Mech\"  [Unknown] [10.0.0.5]: Socket error in "
                                        "DisconnectPlayer() [1]: code=32",
                                        "Connection to server 127.0.0.1 established"));
}

TEST_F(PlayerRemovalTest, FailedSecondDeletionSendsBothAgain) {
    removal.SendFarewell(record);
    const SocketHandle first = link.linkSocket();
    sockets.sendResults = {true, false};
    SweepAt(6);
    EXPECT_THAT(Received(first),
                ElementsAre(ChatLine(1, 0x100, 0, "See ya later Mech."), "delete player 00000100"));
    EXPECT_THAT(Received(link.linkSocket()),
                ElementsAre("delete player 00000100", "delete player 000000ff"));
    EXPECT_EQ(LogLines().at(0),
              "00000100 \"Mech\"  [Unknown] [10.0.0.5]: Socket error in DisconnectPlayer() [2]: "
              "code=32");
    EXPECT_FALSE(record.active);
}

TEST_F(PlayerRemovalTest, RemovalThatCannotBeSentIsTriedAgainAtLaterSweeps) {
    KickWhileTheServerIsDown();
    EXPECT_TRUE(record.active);
    EXPECT_TRUE(record.kickPending);
    EXPECT_FALSE(link.linkUp());

    SweepAt(7);  // the link is down: the send fails at once and the reconnection again
    EXPECT_TRUE(record.active);
    sockets.refuseConnects = false;
    SweepAt(8);
    EXPECT_FALSE(record.active);
    EXPECT_THAT(Received(link.linkSocket()),
                ElementsAre("delete player 00000100", "delete player 000000ff"));
}

TEST_F(PlayerRemovalTest, LinkThatFailsEverySendEndsTheAttemptAfterAFewRestarts) {
    removal.SendFarewell(record);
    sockets.failSends = 1000;
    const int before = sockets.sendCalls;
    SweepAt(6);
    EXPECT_EQ(sockets.sendCalls - before, 1 + PlayerRemoval::kMaxRestarts);
    EXPECT_TRUE(record.active);
    EXPECT_EQ(sockets.open.size(), 1u);
    EXPECT_EQ(LogLines().back(),
              "00000100 \"Mech\"  [Unknown] [10.0.0.5]: Warning: DisconnectPlayer() gave up "
              "after 3 restarts; the next sweep tries again");

    sockets.failSends = 0;  // the server takes messages again
    SweepAt(7);
    EXPECT_FALSE(record.active);
}

TEST_F(PlayerRemovalTest, DeletionSeenOnTheWireEndsTheAttempts) {
    KickWhileTheServerIsDown();
    record.active = false;  // the server removed the player itself
    const int calls = sockets.sendCalls;
    SweepAt(7);
    EXPECT_FALSE(Followed());
    EXPECT_EQ(sockets.sendCalls, calls);
}

}  // namespace
}  // namespace korvane
