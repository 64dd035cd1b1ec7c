// The video path between the decoder and the picture queue: the player's video filters, the
// frame-rate check of the stream, and the frame skipping that follows late pictures.
#include "PlayerTestSupport.h"
#include "app/BitmapImage.h"
#include "common/TestPaths.h"

#include "media/FFLog.h"
#include "media/play/TFrameSkip.h"

#include <QImage>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

using namespace playtest;

namespace {

class PlayerVideoPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadPlayerLibraries();
        UseDummyAudio();
        FSavedLevel = ActiveLogger()->LogLevel();
        FSavedTrigger = ActiveLogger()->TriggerEventInMainThread();
        ActiveLogger()->SetLogLevel(llInfo);
        ActiveLogger()->SetTriggerEventInMainThread(false);
        ActiveLogger()->SetOnLog([this](QObject*, uint32_t, TLogLevel level, const QString& msg) {
            std::lock_guard<std::mutex> lock(FLinesLock);
            FLines.push_back({level, msg.toStdString()});
        });
    }
    void TearDown() override {
        FPlayer.Stop(true);
        ActiveLogger()->SetOnLog(nullptr);
        ActiveLogger()->SetTriggerEventInMainThread(FSavedTrigger);
        ActiveLogger()->SetLogLevel(FSavedLevel);
    }

    bool Logged(TLogLevel level, const std::string& text) {
        std::lock_guard<std::mutex> lock(FLinesLock);
        for (const auto& [l, t] : FLines)
            if (l == level && t.find(text) != std::string::npos)
                return true;
        return false;
    }
    bool PixelNear(int x, int y, QRgb rgb) const {
        const QImage image = ImageOf(FPlayer.DisplayImage());
        if (image.isNull() || x >= image.width() || y >= image.height())
            return false;
        const QRgb p = image.pixel(x, y);
        return std::abs(qRed(p) - qRed(rgb)) <= 24 && std::abs(qGreen(p) - qGreen(rgb)) <= 24 &&
               std::abs(qBlue(p) - qBlue(rgb)) <= 24;
    }

    TScreenHandle FHost{0, 320, 240};
    TFFPlayer FPlayer;
    std::mutex FLinesLock;
    std::vector<std::pair<TLogLevel, std::string>> FLines;
    TLogLevel FSavedLevel = llInfo;
    bool FSavedTrigger = true;
};

const QRgb VideoColour = qRgb(0x20, 0x60, 0xd0);

} // namespace

TEST_F(PlayerVideoPathTest, VideoFiltersChangeThePictureShownAndFollowASeek) {
    // Left half painted red, and the picture shrunk to a quarter: the display scales it back up.
    FPlayer.VideoFilters = QStringLiteral("drawbox=x=0:y=0:w=80:h=120:color=red:t=fill,"
                                          "scale=80:60");
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return PixelNear(40, 120, qRgb(255, 0, 0)); }, 5000));
    EXPECT_TRUE(PixelNear(280, 120, VideoColour));
    // The pictures keep their times through the graph: positions rise, and a seek lands.
    FPlayer.Seek(0, true, 2000000);
    EXPECT_TRUE(WaitUntil([&] { return FPlayer.CurrentPosition() >= 2000000; }, 5000));
    EXPECT_LE(FPlayer.CurrentPosition(), 3000000);
    EXPECT_TRUE(PixelNear(40, 120, qRgb(255, 0, 0)));
}

TEST_F(PlayerVideoPathTest, FiltersThatCannotWorkAreRefusedWithTheirReason) {
    FPlayer.VideoFilters = QStringLiteral("nosuchfilter=1");
    // Only a video stream: nothing is left to play.
    EXPECT_FALSE(FPlayer.OpenMedia(testpaths::fixture("videoonly4.mkv"), &FHost, false));
    EXPECT_TRUE(Logged(llError, "Video filters \"nosuchfilter=1\""));
    // An audio filter in the video chain; with sound beside the video, the sound plays alone.
    FPlayer.VideoFilters = QStringLiteral("volume=2");
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    EXPECT_TRUE(Logged(llError, "Video filters \"volume=2\""));
    EXPECT_TRUE(WaitUntil([&] { return FPlayer.CurrentPosition() > 300000; }, 5000));
    EXPECT_TRUE(FPlayer.DisplayImage().IsNull() || !PixelNear(160, 120, VideoColour));
}

TEST_F(PlayerVideoPathTest, ADecoderRateOtherThanTheContainersIsSaidAndTheContainerWins) {
    std::vector<int64_t> positions;
    FPlayer.SetOnPosition([&](QObject*, int64_t pts) { positions.push_back(pts); });
    bool ended = false;
    FPlayer.SetOnState([&](QObject*, TPlayState state) { ended = ended || state == psEnd; });
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("rate30.mp4"), &FHost, false))
        << FPlayer.LastErrorText().toStdString();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Logged(llInfo, "Seems stream 0 codec frame rate differs from container frame "
                                  "rate: 25.00 (25/1) -> 30.00 (30/1)");
        },
        3000));
    // 50 pictures stored at 30 a second end after 1.67 s, not after 2.
    ASSERT_TRUE(WaitUntil([&] { return ended; }, 6000));
    FPlayer.SetOnPosition(nullptr);
    FPlayer.SetOnState(nullptr);
    ASSERT_FALSE(positions.empty());
    EXPECT_LT(positions.back(), 1900000);

    {
        std::lock_guard<std::mutex> lock(FLinesLock);
        FLines.clear();
    }
    ASSERT_TRUE(FPlayer.OpenMedia(testpaths::fixture("video4.mkv"), &FHost, false));
    EXPECT_TRUE(WaitUntil([&] { return FPlayer.CurrentPosition() > 200000; }, 5000));
    EXPECT_FALSE(Logged(llInfo, "Seems stream"));
}

TEST(FrameSkip, LatePicturesSkipSomeAndAFullQueueBringsBackEveryOne) {
    TFrameSkip skip;
    auto shownOf = [&](int n) {
        int shown = 0;
        for (int i = 0; i < n; ++i)
            shown += skip.Take();
        return shown;
    };
    EXPECT_EQ(shownOf(100), 100);
    skip.Late(); // 1.05: about one in twenty-one skipped
    const int shown = shownOf(210);
    EXPECT_GE(shown, 198);
    EXPECT_LE(shown, 201);
    for (int i = 0; i < 30; ++i)
        skip.QueueFull();
    EXPECT_FLOAT_EQ(skip.Amount(), 0.95f); // never below: no picture is shown twice
    EXPECT_EQ(shownOf(100), 100);
    for (int i = 0; i < 15; ++i)
        skip.Late(); // about 2: every other picture
    EXPECT_NEAR(shownOf(100), 50, 3);
    skip.Reset();
    EXPECT_EQ(shownOf(50), 50);
}
