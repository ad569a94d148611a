// The time told in chat and on the console: on the grid of the start-up second plus whole
// intervals, catching up after a stalled loop, from the newest player, and never without one.
#include "app/time_announcer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/link/link_world.h"

namespace korvane {
namespace {

using korvane::testing::ChatLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int64_t kStart = 1076424589;  // Tue Feb 10 2004 14:49:49 UTC, the world's clock
constexpr std::array<uint8_t, 4> kFirstAddress = {127, 0, 0, 2};
constexpr std::array<uint8_t, 4> kSecondAddress = {127, 0, 0, 3};

// An announcer made at 14:49:49 over a player table, on a link over fake sockets.
struct AnnouncerWorld : korvane::testing::LinkWorld {
    explicit AnnouncerWorld(int32_t interval, bool withPlayer = true) {
        settings.timeInterval = interval;
        if (withPlayer) {
            players.GetPlayerWithId(0x2a, kFirstAddress);
        }
    }
    // Ticks once at each of the given seconds after the start; the console lines printed.
    std::vector<std::string> TickAt(const std::vector<int64_t>& seconds) {
        for (int64_t second : seconds) {
            clock.SetSeconds(kStart + second);
            announcer.AnnouncementTick();
        }
        return LogLines();
    }

    PlayerTable players{clock};
    TimeAnnouncer announcer{settings, clock, players, chat, console};
};

TEST(TimeAnnouncer, KeepsToTheGridOfTheStartSecondPlusWholeIntervals) {
    AnnouncerWorld world(1);
    EXPECT_THAT(world.TickAt({0, 1, 2, 30, 60, 61, 62, 120, 121, 150}),
                ElementsAre("Tue Feb 10 14:49:50 2004", "Tue Feb 10 14:50:50 2004",
                            "Tue Feb 10 14:51:50 2004"));
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart + 180);
    EXPECT_THAT(world.Received(), ElementsAre(ChatLine(0x2a, 1, 0, "Tue Feb 10 14:49:50 2004"),
                                              ChatLine(0x2a, 1, 0, "Tue Feb 10 14:50:50 2004"),
                                              ChatLine(0x2a, 1, 0, "Tue Feb 10 14:51:50 2004")));
}

TEST(TimeAnnouncer, CatchesUpOneIntervalPerTickAfterAStall) {
    AnnouncerWorld world(2);
    // Due after +0, +120, +240 and +360: a pass at +400 is behind them all, and each tick
    // makes up one of them.
    const std::string now = "Tue Feb 10 14:56:29 2004";
    EXPECT_THAT(world.TickAt({400, 400, 400, 400, 400, 400}), ElementsAre(now, now, now, now));
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart + 480);
    // In chat the same line to the same receiver is not repeated.
    EXPECT_THAT(world.Received(), ElementsAre(ChatLine(0x2a, 1, 0, now)));
}

TEST(TimeAnnouncer, AnIntervalTooLargeForMinutesInThirtyTwoBitsStillMakesAGrid) {
    AnnouncerWorld world(INT32_MAX);
    EXPECT_THAT(world.TickAt({1, 2}), ElementsAre("Tue Feb 10 14:49:50 2004"));
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart + int64_t{INT32_MAX} * 60);
}

TEST(TimeAnnouncer, WithoutAnIntervalTicksNeverAnnounceButTheTimeCanStillBeAsked) {
    AnnouncerWorld world(0);
    EXPECT_THAT(world.TickAt({1, 61, 3601}), IsEmpty());
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart);
    world.announcer.AnnounceTime();
    EXPECT_THAT(world.LogLines(), ElementsAre("Tue Feb 10 15:49:50 2004"));
    EXPECT_THAT(world.Received(), ElementsAre(ChatLine(0x2a, 1, 0, "Tue Feb 10 15:49:50 2004")));
}

TEST(TimeAnnouncer, WithNoPlayerTheDueTimeAdvancesAndNothingIsSaid) {
    AnnouncerWorld world(1, false);
    EXPECT_THAT(world.TickAt({1, 61}), IsEmpty());
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart + 120);
    EXPECT_THAT(world.Received(), IsEmpty());
}

TEST(TimeAnnouncer, SpeaksInTheNameOfThePlayerWhoJoinedLast) {
    AnnouncerWorld world(1);
    world.players.GetPlayerWithId(0x3b, kSecondAddress);
    world.TickAt({1});
    EXPECT_THAT(world.Received(), ElementsAre(ChatLine(0x3b, 1, 0, "Tue Feb 10 14:49:50 2004")));
}

TEST(TimeAnnouncer, TestAndSilentModesStillPrintTheTime) {
    for (const bool test : {true, false}) {
        SCOPED_TRACE(test ? "/test" : "/silent");
        AnnouncerWorld world(1);
        world.settings.testMode = test;
        world.settings.silent = !test;
        EXPECT_THAT(world.TickAt({1}), ElementsAre("Tue Feb 10 14:49:50 2004"));
        EXPECT_THAT(world.Received(), IsEmpty());
    }
}

}  // namespace
}  // namespace korvane
