#include "job/CutRules.h"

#include <QDir>

#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

constexpr int64_t Second = 1000000;
constexpr int Rate = 44100;

// One stereo block starting at pts, every sample set to value.
std::vector<int16_t> Block(int frames, int16_t value) {
    return std::vector<int16_t>(size_t(frames) * 2, value);
}

void Fade(std::vector<int16_t>& block, int64_t pts, int64_t start, int64_t end,
          int format = AV_SAMPLE_FMT_S16) {
    ApplyFade(pts, block.data(), int(block.size() * 2), Rate, 2, format, start, end);
}

// Frame index of time t within a block starting at pts (t - pts a whole number of frames).
size_t FrameAt(int64_t pts, int64_t t) {
    return size_t((t - pts) * Rate / Second);
}

TEST(CutFade, TenSecondRangeRisesHoldsAndFalls) {
    const int64_t start = 10 * Second, end = 20 * Second;
    auto block = Block(10 * Rate + 1, 1000);
    Fade(block, start, start, end);
    auto left = [&](int64_t t) { return block[FrameAt(start, t) * 2]; };
    auto right = [&](int64_t t) { return block[FrameAt(start, t) * 2 + 1]; };

    EXPECT_EQ(left(10 * Second), 0);
    EXPECT_EQ(left(11500000), 500); // gain 128: (128 * 1000 + 128) >> 8
    EXPECT_EQ(right(11500000), 500);
    for (size_t f = FrameAt(start, 13 * Second); f <= FrameAt(start, 17 * Second); ++f)
        ASSERT_EQ(block[f * 2], 1000) << "frame " << f;
    EXPECT_EQ(left(18500000), 500);
    EXPECT_EQ(left(20 * Second), 0);
    // The rise never goes backwards.
    for (size_t f = 1; f <= FrameAt(start, 13 * Second); ++f)
        ASSERT_GE(block[f * 2], block[(f - 1) * 2]) << "frame " << f;
}

TEST(CutFade, GainsAtTheEdgesOfShortRanges) {
    // Four seconds: the rise takes three, then the fall starts below full gain.
    EXPECT_EQ(FadeGain(13 * Second - 1, 10 * Second, 14 * Second), 256);
    EXPECT_EQ(FadeGain(13 * Second, 10 * Second, 14 * Second), 85);
    EXPECT_EQ(FadeGain(14 * Second, 10 * Second, 14 * Second), 0);
    // Two seconds: the rise is cut short and no fall happens.
    int highest = 0;
    for (int64_t t = 10 * Second; t <= 12 * Second; t += 10000)
        highest = std::max(highest, FadeGain(t, 10 * Second, 12 * Second));
    EXPECT_EQ(highest, FadeGain(12 * Second, 10 * Second, 12 * Second));
    EXPECT_EQ(highest, 171); // 2/3 of 256, still rising at the end
    // Outside the range the gain is 0, never negative.
    EXPECT_EQ(FadeGain(9 * Second, 10 * Second, 20 * Second), 0);
    EXPECT_EQ(FadeGain(21 * Second, 10 * Second, 20 * Second), 0);
}

// The command line's --fade: the same shape over another length, and none at all for 0.
TEST(CutFade, OtherFadeLengthsAndNoFade) {
    EXPECT_EQ(FadeGain(10 * Second + Second / 2, 10 * Second, 20 * Second, Second), 128);
    EXPECT_EQ(FadeGain(11 * Second, 10 * Second, 20 * Second, Second), 256);
    EXPECT_EQ(FadeGain(20 * Second - Second / 4, 10 * Second, 20 * Second, Second), 64);
    EXPECT_EQ(FadeGain(10 * Second, 10 * Second, 20 * Second, 0), 256);
    std::vector<int16_t> block = Block(441, 1000);
    ApplyFade(10 * Second, block.data(), int(block.size() * 2), Rate, 2, AV_SAMPLE_FMT_S16,
              10 * Second, 20 * Second, 0);
    EXPECT_EQ(block.front(), 1000);
}

TEST(CutFade, SamplesAreScaledWithRoundingTowardMinusInfinity) {
    // Gain 128; a division would round these toward zero (-499 and 0).
    std::vector<int16_t> block{-1000, -2, 32767, -32768};
    Fade(block, 11500000, 10 * Second, 20 * Second);
    EXPECT_EQ(block, (std::vector<int16_t>{-500, -1, 16384, -16384}));
}

TEST(CutFade, BlocksStraddlingTheRangeAreSilencedOutsideIt) {
    const int64_t start = 10 * Second, end = 20 * Second;
    auto before = Block(Rate, 20000); // 9 s .. 10 s
    Fade(before, 9 * Second, start, end);
    for (int16_t s : before)
        ASSERT_EQ(s, 0);
    auto after = Block(Rate, -20000); // 19.5 s .. 20.5 s
    Fade(after, 19500000, start, end);
    EXPECT_LT(after[0], 0);
    for (size_t f = FrameAt(19500000, end) + 1; f < after.size() / 2; ++f)
        ASSERT_EQ(after[f * 2], 0) << "frame " << f;
}

TEST(CutFade, FloatBlocksFollowTheSameGains) {
    const int64_t start = 10 * Second, end = 20 * Second;
    std::vector<float> block(size_t(10 * Rate + 1) * 2, 0.5f);
    ApplyFade(start, block.data(), int(block.size() * sizeof(float)), Rate, 2, AV_SAMPLE_FMT_FLT,
              start, end);
    auto at = [&](int64_t t, int channel) { return block[FrameAt(start, t) * 2 + channel]; };
    EXPECT_EQ(at(10 * Second, 0), 0.0f);
    EXPECT_FLOAT_EQ(at(11500000, 0), 0.25f); // gain 128 of 256
    EXPECT_FLOAT_EQ(at(11500000, 1), 0.25f);
    EXPECT_EQ(at(15 * Second, 0), 0.5f);
    EXPECT_FLOAT_EQ(at(18500000, 1), 0.25f);
    EXPECT_EQ(at(20 * Second, 1), 0.0f);
    // A float sample is scaled by exactly the gain the 16-bit path uses.
    for (int64_t t : {int64_t(10100000), 12 * Second, 19 * Second})
        EXPECT_FLOAT_EQ(at(t, 0), 0.5f * float(FadeGain(t, start, end)) / 256.0f) << t;
}

TEST(CutFade, BlocksItCannotReadAreLeftAlone) {
    auto block = Block(100, 1000);
    Fade(block, 10 * Second, 10 * Second, 20 * Second, AV_SAMPLE_FMT_S16P);
    EXPECT_EQ(block, Block(100, 1000));
    ApplyFade(10 * Second, block.data(), int(block.size() * 2), 0, 2, AV_SAMPLE_FMT_S16,
              10 * Second, 20 * Second);
    ApplyFade(10 * Second, block.data(), int(block.size() * 2), Rate, 0, AV_SAMPLE_FMT_S16,
              10 * Second, 20 * Second);
    EXPECT_EQ(block, Block(100, 1000));
}

TEST(CutOutput, PathJoinsFolderAndNameAndEndsInMp3) {
    EXPECT_EQ(MakeOutputPath("/music", "song"), "/music/song.mp3");
    EXPECT_EQ(MakeOutputPath("/music/", "song.MP3"), "/music/song.MP3");
    EXPECT_EQ(MakeOutputPath("/music/", "song.mp3.txt"), "/music/song.mp3.txt.mp3");
    EXPECT_EQ(MakeOutputPath("/my.music", "song"), "/my.music/song.mp3");
    EXPECT_EQ(MakeOutputPath("", "song.mp3"), "/song.mp3");
}

TEST(CutOutput, VolumeMapsTheSliderOntoTheEngineScale) {
    EXPECT_EQ(VolumeValue(100), 255);
    EXPECT_EQ(VolumeValue(50), 127);
    EXPECT_EQ(VolumeValue(0), 0);
    EXPECT_EQ(VolumeValue(101), 255);
    EXPECT_EQ(VolumeValue(-5), 0);
}

TEST(CutOutput, DefaultsSitBesideTheSource) {
    EXPECT_EQ(DefaultOutputFolder("/music/song.mp3"), "/music/");
    EXPECT_EQ(DefaultOutputName("/music/song.mp3"), "song_new.mp3");
    EXPECT_EQ(DefaultOutputName("/music/song"), "song_new");
    EXPECT_EQ(DefaultOutputName("/my.music/a.b.mp3"), "a.b_new.mp3");
    EXPECT_EQ(DefaultOutputFolder("song.mp3"), QDir::currentPath() + "/");
}

TEST(CutInformation, NineLinesAsThePanelShowsThem) {
    TSourceInfo info;
    info.FileName = "/music/tone.mp3";
    info.TypeName = "MP2/3 (MPEG audio layer 2/3)";
    info.Title = "T";
    info.Artist = "A";
    info.Album = "B";
    info.Year = 2024;
    info.FileSize = 500;
    info.Duration = 200026122;
    info.BitRate = 128000;
    const QStringList expected{"File Name: /music/tone.mp3",
                               "Type: MP2/3 (MPEG audio layer 2/3)",
                               "Title: T",
                               "Artist: A",
                               "Album: B",
                               "Year: 2024",
                               "File Size: 500 Byte",
                               "Duration: 00:03:20",
                               "Bit Rate: 128 kbps"};
    EXPECT_EQ(InformationLines(info), expected);

    // Nothing known: empty tags, Year 0, an unknown duration reads as zero.
    const QStringList bare = InformationLines(TSourceInfo{});
    EXPECT_EQ(bare[2], "Title: ");
    EXPECT_EQ(bare[5], "Year: 0");
    EXPECT_EQ(bare[7], "Duration: 00:00:00");
    EXPECT_EQ(bare[8], "Bit Rate: 0 kbps");
}

TEST(CutInformation, LogKeepsEveryNonBlankLineUntrimmed) {
    const QStringList panel{"File Name: x", "", "Title: ", "", " \t\x01", "Year: 0", ""};
    const QStringList expected{"============ file info ================", "File Name: x",
                               "Title: ", "Year: 0", "======================================="};
    EXPECT_EQ(InformationLogLines(panel), expected);
}

} // namespace
