// The audio path: exact 16-bit volume arithmetic, the hook's power over the samples, output
// rate and channel changes through the per-stream resampler, and audio sync padding.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/encode/audio/FFAudioPath.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace enginetest;

namespace {

std::vector<int16_t> Scaled(std::vector<int16_t> s, int volume) {
    TFFAudioPath::ApplyVolume(s.data(), s.size(), volume);
    return s;
}

TEST(AudioVolume, RoundsAndClipsInSixteenBits) {
    EXPECT_EQ(Scaled({1000, -1000, 0, 1, -1}, 128), (std::vector<int16_t>{500, -500, 0, 1, 0}));
    EXPECT_EQ(Scaled({32767, -32768}, 255), (std::vector<int16_t>{32639, -32640}));
    EXPECT_EQ(Scaled({32767, -32768, 123}, 256), (std::vector<int16_t>{32767, -32768, 123}));
    EXPECT_EQ(Scaled({20000, -20000, 1000}, 512), (std::vector<int16_t>{32767, -32768, 2000}));
    EXPECT_EQ(Scaled({32767, -32768}, 0), (std::vector<int16_t>{0, 0}));
}

TEST(AudioVolume, FloatSamplesScaleByTheSameFraction) {
    std::vector<float> s{0.5f, -1.0f, 0.25f};
    TFFAudioPath::ApplyVolume(s.data(), s.size(), 128);
    EXPECT_EQ(s, (std::vector<float>{0.25f, -0.5f, 0.125f}));
    TFFAudioPath::ApplyVolume(s.data(), s.size(), 512); // no clipping in float
    EXPECT_EQ(s, (std::vector<float>{0.5f, -1.0f, 0.25f}));
}

TEST(AudioBlock, SixteenBitDecodersGiveSixteenBitBlocksAndTheRestFloat) {
    for (int f : {AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P})
        EXPECT_EQ(TFFAudioPath::BlockFormatFor(f), AV_SAMPLE_FMT_S16) << f;
    for (int f : {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_S32P, AV_SAMPLE_FMT_DBL})
        EXPECT_EQ(TFFAudioPath::BlockFormatFor(f), AV_SAMPLE_FMT_FLT) << f;
}

class AudioPathTest : public testing::Test {
protected:
    void SetUp() override { LoadEngineLibraries(); }
    QString Out(const QString& name) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

TEST_F(AudioPathTest, HookWritingZerosGivesSilenceWhateverTheVolume) {
    for (int volume : {256, 512}) {
        TTestEngine engine;
        engine.OnAudioHookCallback = [](TCustomFFmpeg*, int64_t, void* samples, int size, int, int,
                                        int) { memset(samples, 0, size_t(size)); };
        ASSERT_TRUE(
            SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("zero.mp3"), 1000000, 3000000));
        engine.S().AudioVolume = volume;
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        EXPECT_EQ(PeakLevel(Out("zero.mp3")), 0) << volume;
    }
}

TEST_F(AudioPathTest, VolumeReachesTheOutput) {
    int peaks[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        TTestEngine engine;
        ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone10.wav")));
        engine.S().AudioVolume = i == 0 ? 256 : 128;
        ASSERT_GT(engine.OpenOutputFile(Out(QString("vol%1.wav").arg(i)), false), 0)
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        peaks[i] = PeakLevel(Out(QString("vol%1.wav").arg(i)));
    }
    EXPECT_GT(peaks[0], 1000);
    EXPECT_NEAR(peaks[1], (peaks[0] + 1) / 2, 1); // PCM out: the halving is exact
}

TEST_F(AudioPathTest, ResamplesToTheRequestedRateAndChannels) {
    struct TCase {
        int Rate, Channels;
    } cases[] = {{22050, 2}, {44100, 1}, {22050, 1}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Rate * 10 + c.Channels);
        TTestEngine engine;
        ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
        engine.S().AudioCodecName = "libmp3lame";
        engine.S().RecordingTime = 5000000;
        engine.S().AudioSampleRate = c.Rate;
        engine.S().AudioChannels = c.Channels;
        engine.S().AudioChannelLayout = 0;
        ASSERT_GT(engine.OpenOutputFile(Out("rs.mp3"), false), 0) << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        const TProbe p = Probe(Out("rs.mp3"));
        EXPECT_EQ(p.SampleRate, c.Rate);
        EXPECT_EQ(p.Channels, c.Channels);
        EXPECT_NEAR(DecodedSeconds(Out("rs.mp3")), 5.0, 0.05);
        EXPECT_TRUE(DecodesCleanly(Out("rs.mp3")));
    }
}

TEST_F(AudioPathTest, MonoTwentyTwoKilohertzSourceKeepsItsFormat) {
    TTestEngine engine;
    ASSERT_TRUE(
        SetUpCut(engine, testpaths::fixture("mono22k.mp3"), Out("mono.mp3"), 3000000, 5000000));
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    const TProbe p = Probe(Out("mono.mp3"));
    EXPECT_EQ(p.SampleRate, 22050);
    EXPECT_EQ(p.Channels, 1);
    EXPECT_NEAR(DecodedSeconds(Out("mono.mp3")), 5.0, 0.06);
}

// An input whose first timestamp lies 0.5 s after the start: sync method 1 pads the gap with
// silence, method 0 does not.
TEST_F(AudioPathTest, AudioSyncPadsALateStartWithSilence) {
    for (int method : {0, 1}) {
        SCOPED_TRACE(method);
        TTestEngine engine;
        engine.S().InputTsOffset = 500000;
        ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone10.wav")));
        engine.S().AudioSyncMethod = method;
        const QString name = Out(QString("async%1.wav").arg(method));
        ASSERT_GT(engine.OpenOutputFile(name, false), 0) << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        const std::vector<int16_t> s = DecodeS16(name);
        const double seconds = double(s.size()) / 2 / 44100;
        EXPECT_NEAR(seconds, method ? 10.5 : 10.0, 0.01);
        int leadingPeak = 0;
        for (size_t i = 0; i < std::min<size_t>(s.size(), 2 * 22000); ++i)
            leadingPeak = std::max(leadingPeak, std::abs(int(s[i])));
        if (method)
            EXPECT_EQ(leadingPeak, 0);
        else
            EXPECT_GT(leadingPeak, 1000);
    }
}

} // namespace
