// Values, setters, layout and the value/pixel mapping of the range trackbar.
#include "TrackbarFixture.h"

#include <limits>

using namespace trackbartest;

TEST_F(TrackbarTest, PositionIsClampedToTheSegmentAndEveryCallNotifies) {
    int ticks = 0;
    tb->OnTickChange = [&](TVelTrackbar*) { ++ticks; };
    tb->SetPosition(5);
    EXPECT_EQ(tb->Position(), 10);
    tb->SetPosition(95);
    EXPECT_EQ(tb->Position(), 90);
    tb->SetPosition(-3);
    EXPECT_EQ(tb->Position(), 10);
    tb->SetPosition(50);
    tb->SetPosition(50);
    EXPECT_EQ(tb->Position(), 50);
    EXPECT_EQ(tb->TickX(), 122); // Round(50 * 212 / 100) + 16
    EXPECT_EQ(ticks, 5);
}

TEST_F(TrackbarTest, SegmentSettersClampAndCarryThePosition) {
    int starts = 0, ends = 0;
    tb->OnStartChange = [&](TVelTrackbar*) { ++starts; };
    tb->OnEndChange = [&](TVelTrackbar*) { ++ends; };

    tb->SetSegStartPos(95); // beyond the end: stops there and pushes the tick
    EXPECT_EQ(tb->SegStartPos(), 90);
    EXPECT_EQ(tb->Position(), 90);
    tb->SetSegStartPos(-5);
    EXPECT_EQ(tb->SegStartPos(), 0);
    EXPECT_EQ(tb->Position(), 90);

    tb->SetSegStartPos(10);
    tb->SetPosition(50);
    tb->SetSegEndPos(5); // below the start: stops there and pulls the tick back
    EXPECT_EQ(tb->SegEndPos(), 10);
    EXPECT_EQ(tb->Position(), 10);
    tb->SetSegEndPos(101);
    EXPECT_EQ(tb->SegEndPos(), 100);
    EXPECT_EQ(tb->SegEndX(), 228);
    EXPECT_EQ(starts + ends, 0); // only drags report marker changes
}

TEST_F(TrackbarTest, LimitSettersLeaveTheOtherValuesToTheCaller) {
    tb->SetPosition(90);
    tb->SetMax(50);
    EXPECT_EQ(tb->Position(), 90);
    EXPECT_EQ(tb->SegEndPos(), 90);
    tb->SetPosition(70);
    EXPECT_EQ(tb->Position(), 50);

    int ticks = 0;
    tb->OnTickChange = [&](TVelTrackbar*) { ++ticks; };
    tb->SetMin(60);
    EXPECT_EQ(tb->Position(), 60);
    EXPECT_EQ(ticks, 0);

    tb->SetMin(0);
    tb->SetMax(100);
    tb->SetShowSegment(true);
    EXPECT_EQ(tb->SegStartPos(), 0);
    EXPECT_EQ(tb->SegEndPos(), 100);
    EXPECT_EQ(tb->SegStartX(), 16);
    EXPECT_EQ(tb->SegEndX(), 228);
}

TEST_F(TrackbarTest, LayoutOfTheWindowsGeometry) {
    EXPECT_EQ(tb->TrackOffsetX(), 16);
    EXPECT_EQ(tb->TrackWidth(), 212);
    EXPECT_EQ(tb->TrackLeft(), 16);
    EXPECT_EQ(tb->TrackRect().ToQRect(), QRect(16, 5, 212, 16));
    tb->UpdateLayout();
    EXPECT_EQ(tb->SegEndRect().Left, 228);

    tb->SetMarginOffsetX(4);
    EXPECT_EQ(tb->TrackLeft(), 20);
    EXPECT_EQ(tb->TrackWidth(), 244 - 32 - 8);
}

TEST_F(TrackbarTest, ResizeKeepsThePixelsOnTheValues) {
    tb->SetPosition(50);
    tb->resize(344, 25);
    EXPECT_EQ(tb->TrackWidth(), 312);
    EXPECT_EQ(tb->SegStartX(), 47); // Round(10 * 312 / 100) + 16
    EXPECT_EQ(tb->TickX(), 172);
    EXPECT_EQ(tb->SegEndX(), 297);
    EXPECT_EQ(tb->TickRect().Left, 168);
}

TEST_F(TrackbarTest, MappingRoundTripsTheEndsWithAndWithoutInsets) {
    EXPECT_EQ(tb->ValueToPixel(0), 16);
    EXPECT_EQ(tb->ValueToPixel(100), 228);
    EXPECT_EQ(tb->PixelToValue(16), 0);
    EXPECT_EQ(tb->PixelToValue(228), 100);

    tb->SetTrackLeftOffset(4);
    tb->SetTrackRightOffset(6);
    EXPECT_EQ(tb->ValueToPixel(0), 20);
    EXPECT_EQ(tb->ValueToPixel(100), 20 + 202);
    EXPECT_EQ(tb->PixelToValue(20), 0);
    EXPECT_EQ(tb->PixelToValue(222), 100);
}

TEST_F(TrackbarTest, MappingRoundsHalfToEven) {
    tb->SetMax(424); // half a pixel per second
    EXPECT_EQ(tb->ValueToPixel(1), 16);
    EXPECT_EQ(tb->ValueToPixel(3), 18);
    EXPECT_EQ(tb->ValueToPixel(5), 18);
    tb->SetMax(200); // 200-second file: about 0.94 s per pixel, whole seconds
    EXPECT_EQ(tb->PixelToValue(17), 1);
    EXPECT_EQ(tb->PixelToValue(122), 100);
}

TEST_F(TrackbarTest, DegenerateRangesStayInsideTheTrack) {
    // A file shorter than one second gives Max = Min.
    tb->SetMax(0);
    tb->SetSegStartPos(0);
    tb->SetSegEndPos(0);
    tb->SetPosition(0);
    for (qint64 v : {qint64(-5), qint64(0), qint64(7)}) {
        const int x = tb->ValueToPixel(v);
        EXPECT_GE(x, 16);
        EXPECT_LE(x, 228);
    }
    EXPECT_EQ(tb->PixelToValue(100), 0);
    EXPECT_TRUE(tb->TrackRect().Contains(tb->TickX(), 12));
    tb->Redraw();
    EXPECT_TRUE(tb->TickRect().Contains(tb->TickX(), 12));

    // Insets that eat the whole span, or more.
    tb->SetMax(100);
    for (int inset : {212, 300}) {
        tb->SetTrackLeftOffset(inset);
        for (qint64 v : {qint64(0), qint64(50), qint64(100)}) {
            const int x = tb->ValueToPixel(v);
            EXPECT_GE(x, 16) << inset;
            EXPECT_LE(x, 228) << inset;
        }
        EXPECT_EQ(tb->PixelToValue(200), 0);
    }
}

TEST_F(TrackbarTest, ExtremeRangesDoNotOverflow) {
    constexpr qint64 lo = std::numeric_limits<qint64>::min();
    constexpr qint64 hi = std::numeric_limits<qint64>::max();
    tb->SetMin(lo);
    tb->SetMax(hi);
    EXPECT_EQ(tb->ValueToPixel(lo), 16);
    EXPECT_EQ(tb->ValueToPixel(hi), 228);
    EXPECT_EQ(tb->ValueToPixel(0), 122);
    EXPECT_EQ(tb->PixelToValue(16), lo);
    EXPECT_EQ(tb->PixelToValue(228), hi);
    EXPECT_EQ(tb->PixelToValue(100000), hi);
}

TEST(TrackbarDefaults, BuiltInArtworkIsUsedWithoutPictures) {
    TVelTrackbar tb;
    EXPECT_EQ(tb.width(), 400);
    EXPECT_EQ(tb.height(), 40);
    EXPECT_EQ(tb.Max(), 1000);
    EXPECT_EQ(tb.SegEndPos(), 1000);
    EXPECT_EQ(tb.TrackOffsetX(), 9); // the 9-pixel default marker
    EXPECT_EQ(tb.TrackWidth(), 382);
    EXPECT_EQ(tb.TrackRect().Height(), 17);
    EXPECT_EQ(tb.StartCutTransparency(), 0xE7E7E7u);
    EXPECT_EQ(tb.TickTransparency(), 0u);
}
