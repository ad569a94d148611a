#include "tools/game_traffic.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tools/scenario.h"

namespace korvane::tools {
namespace {

std::string Session(uint64_t seed, size_t frames, size_t& counted) {
    GameTrafficPlan plan;
    plan.seed = seed;
    plan.frames = frames;
    std::ostringstream out;
    counted = WriteGameTraffic(plan, out);
    return out.str();
}

TEST(GameTraffic, TheSeedAloneMakesTheSessionAndItsFramesAreCountedRight) {
    size_t counted = 0;
    const std::string session = Session(7, 30000, counted);
    size_t again = 0;
    EXPECT_EQ(Session(7, 30000, again), session);
    EXPECT_NE(Session(8, 30000, again), session);
    // The count takes in split lines and the segments of uploads, split ones too.
    const Scenario scenario = ParseScenario(session, "game.scenario");
    EXPECT_EQ(ScenarioFrames(scenario).size(), counted);
    EXPECT_GE(counted, 30000u);
    EXPECT_LT(counted, 30020u);
}

}  // namespace
}  // namespace korvane::tools
