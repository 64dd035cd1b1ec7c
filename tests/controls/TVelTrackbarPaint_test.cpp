// Painting of the range trackbar, checked by rendering the real widget and sampling pixels.
#include "TrackbarFixture.h"

using namespace trackbartest;

namespace {
// An ARGB colour with its own alpha composited over an opaque one.
QRgb Over(std::uint32_t argb, QRgb below) {
    const double a = qAlpha(argb) / 255.0;
    auto mix = [a](int top, int under) { return int(top * a + under * (1 - a) + 0.5); };
    return qRgb(mix(qRed(argb), qRed(below)), mix(qGreen(argb), qGreen(below)),
                mix(qBlue(argb), qBlue(below)));
}
} // namespace

#define EXPECT_PIXEL(img, x, y, rgb)                                                               \
    EXPECT_PRED2(Near, (img).pixel((x), (y)), (rgb))                                               \
        << "at " << (x) << "," << (y) << ": " << Hex((img).pixel((x), (y))) << " expected "        \
        << Hex(rgb)

TEST_F(TrackbarTest, CutMarksAndShadesOnlyWithShowCut) {
    tb->SetSegStartPos(30); // start drawn at 80, its marker 64..80
    tb->SetSegEndPos(70);   // end drawn at 164, its marker 164..180
    tb->SetPosition(50);    // tick 118..127
    QImage img = Shot();
    EXPECT_PIXEL(img, 100, 2, AppBackgroundRgb);
    EXPECT_PIXEL(img, 40, 12, TrackRgb);  // where the left shade would be
    EXPECT_PIXEL(img, 200, 12, TrackRgb); // where the right shade would be
    EXPECT_PIXEL(img, 79, 17, Faded(SegStartRgb, TrackRgb));
    EXPECT_PIXEL(img, 170, 17, Faded(SegEndRgb, TrackRgb));
    EXPECT_PIXEL(img, 122, 12, TickUpRgb); // the tick is never faded

    tb->SetShowCut(true);
    img = Shot();
    EXPECT_PIXEL(img, 40, 12, Over(0x653DF72D, TrackRgb));
    EXPECT_PIXEL(img, 200, 12, Over(0x65F5BCDA, TrackRgb));
    EXPECT_PIXEL(img, 79, 17, qRgb(0x32, 0x65, 0x4C));  // start cut line
    EXPECT_PIXEL(img, 164, 17, qRgb(0x65, 0x32, 0x4B)); // end cut line
    EXPECT_PIXEL(img, 122, 12, TickUpRgb);
}

TEST_F(TrackbarTest, StartMarkerAtMinIsFlushWithTheMargin) {
    tb->SetPosition(50);
    tb->SetSegStartPos(0);
    QImage img = Shot();
    EXPECT_PIXEL(img, 0, 12, Faded(SegStartRgb, AppBackgroundRgb));
    EXPECT_PIXEL(img, 15, 12, Faded(SegStartRgb, AppBackgroundRgb));
    EXPECT_PIXEL(img, 16, 12, TrackRgb);

    Press(8); // the press moves the marker's pixel, not where a marker at Min is drawn
    img = Shot();
    Release(8);
    EXPECT_PIXEL(img, 0, 12, Faded(SegStartRgb, AppBackgroundRgb));
    EXPECT_PIXEL(img, 16, 12, TrackRgb);

    tb->SetSegStartPos(10); // elsewhere its right edge is the segment start (37)
    img = Shot();
    EXPECT_PIXEL(img, 20, 12, TrackRgb);
    EXPECT_PIXEL(img, 21, 12, Faded(SegStartRgb, TrackRgb));
    EXPECT_PIXEL(img, 36, 12, Faded(SegStartRgb, TrackRgb));
    EXPECT_PIXEL(img, 37, 12, TrackRgb);

    tb->SetSegStartPos(0);
    tb->SetMarginOffsetX(4);
    img = Shot();
    EXPECT_PIXEL(img, 3, 12, AppBackgroundRgb);
    EXPECT_PIXEL(img, 4, 12, Faded(SegStartRgb, AppBackgroundRgb));
    EXPECT_PIXEL(img, 19, 12, Faded(SegStartRgb, AppBackgroundRgb));
    EXPECT_PIXEL(img, 20, 12, TrackRgb);
}

TEST_F(TrackbarTest, TickImageFollowsHoverPressAndRelease) {
    tb->SetPosition(50); // tick 118..127, centre 122
    QImage img = Shot();
    EXPECT_PIXEL(img, 122, 12, TickUpRgb);
    EXPECT_PIXEL(img, 118, 12, TrackRgb); // the black key column lets the track through

    Move(122);
    EXPECT_PIXEL(Shot(), 122, 12, TickHotRgb);
    Move(-30); // off the control: the hot image stays until the next move over it
    EXPECT_PIXEL(Shot(), 122, 12, TickHotRgb);
    Move(150);
    EXPECT_PIXEL(Shot(), 122, 12, TickUpRgb);

    Move(122);
    Press(122);
    EXPECT_PIXEL(Shot(), 122, 12, TickDownRgb);
    Release(122);
    EXPECT_PIXEL(Shot(), 122, 12, TickUpRgb);

    tb->setEnabled(false); // nothing in the control selects the disabled image
    EXPECT_PIXEL(Shot(), 122, 12, TickUpRgb);
}

TEST_F(TrackbarTest, BackgroundImageMissingLeavesTheOldPicture) {
    tb->SetPosition(50);
    const QImage before = Shot();
    tb->SetUseBGImage(true);
    tb->SetPosition(80);
    EXPECT_EQ(Shot(), before);

    tb->SetBGImage(Solid(10, 10, qRgb(10, 20, 30)));
    tb->SetPosition(80);
    const QImage img = Shot();
    EXPECT_PIXEL(img, 100, 2, qRgb(10, 20, 30));
    EXPECT_PIXEL(img, 243, 24, qRgb(10, 20, 30));
    EXPECT_PIXEL(img, 187, 12, TickUpRgb); // Round(80 * 2.12) + 16 = 186
}

TEST_F(TrackbarTest, PictureTransparencyIsFlattenedAndRestoredByTheKey) {
    QImage pic(16, 16, QImage::Format_ARGB32);
    pic.fill(Qt::transparent);
    for (int y = 6; y < 10; ++y)
        for (int x = 6; x < 10; ++x)
            pic.setPixel(x, y, SegStartRgb);
    tb->SetSegmentStart(pic); // marker drawn at 21..37, rows 5..21
    QImage img = Shot();
    EXPECT_PIXEL(img, 22, 6, TrackRgb);
    EXPECT_PIXEL(img, 28, 13, Faded(SegStartRgb, TrackRgb));

    tb->SetSegStartTransparency(0xFFFFFF); // a key that no longer matches the flattened surround
    img = Shot();
    EXPECT_PIXEL(img, 22, 6, Faded(qRgb(0, 0, 0), TrackRgb));
    EXPECT_PIXEL(img, 28, 13, Faded(SegStartRgb, TrackRgb));
}
