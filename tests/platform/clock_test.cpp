#include <gtest/gtest.h>

#include "platform/clock.h"

namespace korvane {
namespace {

// The tests run with TZ=UTC, so local calendar text equals UTC text.
TEST(CalendarText, HasTwoDigitDayAndEnglishNames) {
    // 2004-02-03 14:50:02 UTC
    EXPECT_EQ(CalendarText(1075819802), "Tue Feb 03 14:50:02 2004");
    EXPECT_EQ(CalendarText(0), "Thu Jan 01 00:00:00 1970");
    EXPECT_EQ(CalendarText(1075819802).size(), 24u);
}

TEST(ManualClock, AdvanceCarriesMicrosIntoSeconds) {
    ManualClock clock({100, 999'500});
    clock.AdvanceMicros(600);
    EXPECT_EQ(clock.Now(), (ClockReading{101, 100}));
    clock.AdvanceMicros(1'000'000);
    EXPECT_EQ(clock.Now(), (ClockReading{102, 100}));
    clock.AdvanceMicros(-200);
    EXPECT_EQ(clock.Now(), (ClockReading{101, 999'900}));
    EXPECT_EQ(clock.Now().MillisPart(), 999);
}

}  // namespace
}  // namespace korvane
