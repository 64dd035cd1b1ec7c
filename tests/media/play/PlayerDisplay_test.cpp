// The display: pictures of a video stream and the waveform of an MP3, drawn into the off-screen
// surface of a host window (sampled here) or into the player's own window.
#include "PlayerTestSupport.h"
#include "app/BitmapImage.h"
#include "common/TestPaths.h"

#include <QColor>
#include <QImage>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

using namespace playtest;

namespace {

class PlayerDisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadPlayerLibraries();
        UseDummyAudio();
        FRecorder.Attach(FPlayer);
    }
    void TearDown() override { FPlayer.Stop(true); }

    // True when the surface's pixel at (x, y) is within 24 of rgb on each channel.
    bool PixelNear(int x, int y, QRgb rgb) const {
        const QImage image = ImageOf(FPlayer.DisplayImage());
        if (image.isNull() || x >= image.width() || y >= image.height())
            return false;
        const QRgb p = image.pixel(x, y);
        return std::abs(qRed(p) - qRed(rgb)) <= 24 && std::abs(qGreen(p) - qGreen(rgb)) <= 24 &&
               std::abs(qBlue(p) - qBlue(rgb)) <= 24;
    }

    TScreenHandle FHost{0, 320, 240};
    TRecorder FRecorder;
    TFFPlayer FPlayer;
};

const QRgb VideoColour = qRgb(0x20, 0x60, 0xd0);

} // namespace

TEST_F(PlayerDisplayTest, AHostGetsTheVideoPictureInItsOffscreenSurface) {
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return PixelNear(160, 120, VideoColour); }, 5000));
    const QImage image = ImageOf(FPlayer.DisplayImage());
    EXPECT_EQ(image.size(), QSize(320, 240));
    // 4:3 in 4:3: the picture fills the surface.
    EXPECT_TRUE(PixelNear(4, 4, VideoColour));
    // Positions come from the video clock and rise.
    ASSERT_TRUE(WaitUntil([&] { return FPlayer.CurrentPosition() > 500000; }, 5000));
}

TEST_F(PlayerDisplayTest, AVideoWithoutSoundIsTimedByItsOwnClockToItsEnd) {
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("videoonly4.mkv"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return std::find(FRecorder.States.begin(), FRecorder.States.end(), psEnd) !=
                   FRecorder.States.end();
        },
        10000));
    EXPECT_TRUE(PixelNear(160, 120, VideoColour));
    ASSERT_FALSE(FRecorder.Positions.empty());
    // Four seconds of pictures, shown in real time.
    EXPECT_GE(FRecorder.Positions.back(), 3800000);
    EXPECT_LE(FRecorder.Positions.back(), 4100000);
}

TEST_F(PlayerDisplayTest, TheAspectRatioKeepsOrFillsTheDisplay) {
    FHost.Width = 320; // wider than the 4:3 picture
    FHost.Height = 120;
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false));
    ASSERT_TRUE(WaitUntil([&] { return PixelNear(160, 60, VideoColour); }, 5000));
    // Centred 160x120 with black bars left and right.
    EXPECT_TRUE(PixelNear(10, 60, qRgb(0, 0, 0)));
    FPlayer.SetAspectRatio(-1);
    EXPECT_TRUE(WaitUntil([&] { return PixelNear(10, 60, VideoColour); }, 3000));
}

TEST_F(PlayerDisplayTest, TheVideoHookDrawsOnThePictureShown) {
    std::atomic<int> hooked{0};
    FPlayer.SetVideoHook(true);
    FPlayer.SetOnVideoHook([&](QObject*, TBitmap& bitmap, int64_t pts, bool& update) {
        EXPECT_GE(pts, 0);
        // A bitmap of the handler's own, half the size and in another layout: the player
        // scales it back into the picture.
        QImage red(bitmap.Width() / 2, bitmap.Height() / 2, QImage::Format_RGB32);
        red.fill(QColor(255, 0, 0));
        bitmap = BitmapOf(red, AV_PIX_FMT_BGRA);
        update = true;
        ++hooked;
    });
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false));
    EXPECT_TRUE(WaitUntil([&] { return PixelNear(160, 120, qRgb(255, 0, 0)); }, 5000));
    EXPECT_GT(hooked, 0);
    FPlayer.SetOnVideoHook(nullptr); // the handler's counter goes out of scope
}

TEST_F(PlayerDisplayTest, ABitmapSubtitleShowsOnThePictureFromItsTimeUntilTheNextClearsIt) {
    // The fixture's white 80x40 block at (40, 40) of the 160x120 picture, from 0.5 s to 3 s;
    // the surface is the picture at twice its size.
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("videosubs4.mkv"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    const QRgb white = qRgb(255, 255, 255);
    int64_t shownAt = -1, clearedAt = -1;
    bool edgesRight = false, blueBefore = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int64_t position = FPlayer.CurrentPosition();
            const bool inside = PixelNear(160, 120, white);
            if (shownAt < 0 && !inside && PixelNear(160, 120, VideoColour) && position >= 0 &&
                position < 400000)
                blueBefore = true;
            if (shownAt < 0 && inside) {
                shownAt = position;
                edgesRight = PixelNear(84, 84, white) && PixelNear(236, 156, white) &&
                             PixelNear(74, 120, VideoColour) && PixelNear(160, 166, VideoColour);
            }
            if (shownAt >= 0 && clearedAt < 0 && PixelNear(160, 120, VideoColour))
                clearedAt = position;
            return clearedAt >= 0;
        },
        8000));
    EXPECT_TRUE(blueBefore);
    EXPECT_TRUE(edgesRight);
    EXPECT_GE(shownAt, 450000);
    EXPECT_LE(shownAt, 1000000);
    EXPECT_GE(clearedAt, 2900000);
    EXPECT_LE(clearedAt, 3500000);
}

TEST_F(PlayerDisplayTest, AnMp3WithTheDisplayOnShowsItsWaveform) {
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("tone200.mp3"), &FHost, false));
    auto whiteColumns = [&] {
        const QImage image = ImageOf(FPlayer.DisplayImage());
        int columns = 0;
        for (int x = 0; !image.isNull() && x < image.width(); ++x)
            for (int y = 0; y < image.height(); ++y)
                if (image.pixel(x, y) == qRgb(255, 255, 255)) {
                    ++columns;
                    break;
                }
        return columns;
    };
    // Every column has a bar of the tone: the waveform spans the surface.
    EXPECT_TRUE(WaitUntil([&] { return whiteColumns() > 300; }, 5000));
    EXPECT_TRUE(PixelNear(0, 2, qRgb(0, 0, 0)));
}

// Runs on X11 under an Xvfb of its own (ctest's player_window_xvfb), apart from the other runs:
// SDL's video drivers keep allocations of their own for the life of the process, which the leak
// checker of the other runs would report.
using PlayerDisplayOnX = PlayerDisplayTest;

TEST_F(PlayerDisplayOnX, WithoutAHostTheVideoPlaysInAWindowOfItsOwn) {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY"));
    std::atomic<int> pictures{0};
    FPlayer.SetVideoHook(true);
    FPlayer.SetOnVideoHook([&](QObject*, TBitmap&, int64_t, bool& update) {
        update = false;
        ++pictures;
    });
    FPlayer.SetOnState([&](QObject*, TPlayState s) {
        FRecorder.States.push_back(s);
        if (s == psEnd)
            FPlayer.Stop(false);
    });
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), nullptr, false))
        << FPlayer.LastErrorText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return FRecorder.Stopped(); }, 15000));
    EXPECT_GE(pictures, 90);                      // 4 s at 25 pictures a second
    EXPECT_TRUE(FPlayer.DisplayImage().IsNull()); // no host, no off-screen copy
    ASSERT_FALSE(FRecorder.Positions.empty());
    EXPECT_GE(FRecorder.Positions.back(), 3800000);
}
