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
using ::testing::ElementsAreArray;

constexpr int64_t kStart = 1076424589;  // Tue Feb 10 2004 14:49:49 UTC, the world's clock
constexpr std::array<uint8_t, 4> kFirstAddress = {127, 0, 0, 2};

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
    world.TickAt({0, 1, 2, 30});
    world.announcer.AnnounceTime();  // asked for by a player: the grid stays as it is
    const std::vector<std::string> told = {"Tue Feb 10 14:49:50 2004", "Tue Feb 10 14:50:19 2004",
                                           "Tue Feb 10 14:50:50 2004", "Tue Feb 10 14:51:50 2004"};
    EXPECT_THAT(world.TickAt({60, 61, 62, 120, 121, 150}), ElementsAreArray(told));
    EXPECT_EQ(world.announcer.nextAnnouncement(), kStart + 180);
    std::vector<std::string> sent;
    for (const std::string& text : told) {
        sent.push_back(ChatLine(0x2a, 1, 0, text));
    }
    EXPECT_THAT(world.Received(), ElementsAreArray(sent));
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

// Ticks at +1 and +61 in each situation: what the console shows, what is sent, when the next
// announcement is due. The time asked for by a command is the chat commands' business.
TEST(TimeAnnouncer, WhatEachSituationSaysAndWhereItLeavesTheGrid) {
    const std::string first = "Tue Feb 10 14:49:50 2004";
    const std::string second = "Tue Feb 10 14:50:50 2004";
    const struct {
        const char* what;
        int32_t interval;
        bool player;
        bool test;
        bool silent;
        std::vector<std::string> printed;
        std::vector<std::string> sent;
        int64_t due;
    } cases[] = {
        {"no /time:", 0, true, false, false, {}, {}, kStart},
        {"no player known", 1, false, false, false, {}, {}, kStart + 120},
        {"/test", 1, true, true, false, {first, second}, {}, kStart + 120},
        {"/silent", 1, true, false, true, {first, second}, {}, kStart + 120},
        // Minutes of a 32-bit interval overflow 32 bits; the grid does not.
        {"the largest interval",
         INT32_MAX,
         true,
         false,
         false,
         {first},
         {first},
         kStart + int64_t{INT32_MAX} * 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AnnouncerWorld world(c.interval, c.player);
        world.settings.testMode = c.test;
        world.settings.silent = c.silent;
        EXPECT_THAT(world.TickAt({1, 61}), ElementsAreArray(c.printed));
        std::vector<std::string> sent;
        for (const std::string& text : c.sent) {
            sent.push_back(ChatLine(0x2a, 1, 0, text));
        }
        EXPECT_THAT(world.Received(), ElementsAreArray(sent));
        EXPECT_EQ(world.announcer.nextAnnouncement(), c.due);
    }
}

}  // namespace
}  // namespace korvane
