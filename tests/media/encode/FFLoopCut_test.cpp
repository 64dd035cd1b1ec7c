// The road of the application's cut through the engine: an MP3 in, a time range through the
// audio hook, an exact and valid MP3 out; checked with ffprobe and ffmpeg, not with our code.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

using namespace enginetest;

namespace {

class CutTest : public testing::Test {
protected:
    void SetUp() override { LoadEngineLibraries(); }
    QString Out(const QString& name) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

struct THookLog {
    std::vector<int64_t> Pts; // µs of every block the hook saw
    int Rate = 0, Channels = 0, Format = -1;
};

void RecordHook(TFFLoopCore& engine, THookLog& log) {
    engine.Callbacks.AudioHook = [&log](int64_t pts, uint8_t*, int, int rate, int channels,
                                        int format) {
        log.Pts.push_back(pts);
        log.Rate = rate;
        log.Channels = channels;
        log.Format = format;
    };
}

TEST_F(CutTest, OutputSideStartCutsTenSecondsWithExactHeader) {
    TFFLoopCore engine;
    THookLog hook;
    RecordHook(engine, hook);
    std::vector<int> reportFiles;
    engine.Callbacks.Progress = [&](int file, int64_t, int64_t, int64_t, float, float, int, int) {
        reportFiles.push_back(file);
    };
    ASSERT_TRUE(
        SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("cut.mp3"), 5000000, 10000000))
        << engine.LastErrorText;
    EXPECT_EQ(engine.Start(false), nullptr);

    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_TRUE(engine.Terminated());
    ASSERT_FALSE(hook.Pts.empty());
    EXPECT_GE(hook.Pts.front(), 5000000);
    EXPECT_LT(hook.Pts.front(), 5000000 + 30000); // the first block at or after the start
    EXPECT_LT(hook.Pts.back(), 15000000);         // reading stopped at 15 s
    EXPECT_GT(hook.Pts.back(), 15000000 - 60000);
    EXPECT_EQ(hook.Rate, 44100);
    EXPECT_EQ(hook.Channels, 2);
    EXPECT_EQ(hook.Format, AV_SAMPLE_FMT_S16);
    ASSERT_FALSE(reportFiles.empty());
    EXPECT_EQ(reportFiles.back(), -1);

    const TProbe p = Probe(Out("cut.mp3"));
    ASSERT_TRUE(p.Ok);
    // ffprobe counts the encoder delay into the duration and reports it as the start.
    EXPECT_NEAR(p.Duration - p.StartTime, 10.0, 0.03);
    EXPECT_NEAR(DecodedSeconds(Out("cut.mp3")), 10.0, 0.03);
    EXPECT_EQ(p.SampleRate, 44100);
    EXPECT_EQ(p.Channels, 2);
    EXPECT_EQ(p.Codec, "mp3");
    EXPECT_TRUE(HasXingLameHeader(Out("cut.mp3")));
    EXPECT_TRUE(DecodesCleanly(Out("cut.mp3")));
}

} // namespace
