#include "job/TimeTexts.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(TimeTexts, FormatSecondsFieldBoundaries) {
    EXPECT_EQ(FormatSeconds(0), "00:00:00");
    EXPECT_EQ(FormatSeconds(59), "00:00:59");
    EXPECT_EQ(FormatSeconds(60), "00:01:00");
    EXPECT_EQ(FormatSeconds(3599), "00:59:59");
    EXPECT_EQ(FormatSeconds(3600), "01:00:00");
    EXPECT_EQ(FormatSeconds(86400), "24:00:00"); // no wrap at a day
    EXPECT_EQ(FormatSeconds(360000), "100:00:00");
}

TEST(TimeTexts, NegativeValuesCarryOneSign) {
    EXPECT_EQ(FormatSeconds(-1), "-00:00:01");
    EXPECT_EQ(FormatSeconds(-3723), "-01:02:03");
    EXPECT_EQ(FormatSeconds(std::numeric_limits<int64_t>::min()), "-2562047788015215:30:08");
    EXPECT_EQ(FormatDuration(-1), "00:00:00"); // truncates to zero seconds first
    EXPECT_EQ(FormatDuration(-1500000), "-00:00:01");
}

TEST(TimeTexts, FormatDurationTruncatesToWholeSeconds) {
    EXPECT_EQ(FormatDuration(200000000), "00:03:20");
    EXPECT_EQ(FormatDuration(59999999), "00:00:59");
    EXPECT_EQ(FormatDuration(std::numeric_limits<int64_t>::max()), "2562047788:00:54");
}

TEST(TimeTexts, DurationToTrackbarUnits) {
    // A 200.9 s file: the trackbar maximum is 200 and the end label shows it.
    const int64_t duration = 200900000;
    EXPECT_EQ(MicrosecondsToSeconds(duration), 200);
    EXPECT_EQ(FormatSeconds(MicrosecondsToSeconds(duration)), "00:03:20");
    EXPECT_EQ(SecondsToMicroseconds(200), 200000000);
    EXPECT_EQ(MicrosecondsToSeconds(-999999), 0);
}

} // namespace
