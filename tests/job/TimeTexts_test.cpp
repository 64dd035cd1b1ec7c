#include "job/TimeTexts.h"

#include <gtest/gtest.h>

#include <optional>

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

// Typed times: what the command line takes, a fraction to the microsecond, and every text the
// labels show reads back to the value it shows.
TEST(TimeTexts, TypedTimesReadToTheMicrosecond) {
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"0", 0},
        {"75", 75000000},
        {"1:05", 65000000},
        {"1:05.25", 65250000},
        {" 01:02:03.004 ", 3723004000},
        {"90:00", 5400000000},
        {"0.000001", 1},
        {"00:00:07.500", 7500000},
        {"1:60", std::nullopt},
        {"1:60:00", std::nullopt},
        {"-3", std::nullopt},
        {"1.2345678", std::nullopt},
        {"1:2:3:4", std::nullopt},
        {"1,5", std::nullopt},
        {"", std::nullopt},
        {"99999999999", std::nullopt},
        {"1000000001", std::nullopt},
    };
    for (const auto& [text, us] : cases)
        EXPECT_EQ(ParseTimeTextUs(QString::fromLatin1(text)), us) << text;
    for (int64_t us : {int64_t(0), int64_t(65250000), int64_t(359999999000)})
        EXPECT_EQ(ParseTimeTextUs(FormatExactTime(us)), us);
    EXPECT_EQ(ParseTimeTextUs(FormatSeconds(360000)), int64_t(360000) * 1000000);
}

} // namespace
