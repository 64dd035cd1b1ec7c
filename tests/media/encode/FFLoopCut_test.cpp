// The road of the application's cut through the engine: an MP3 in, a time range through the
// audio hook, an exact and valid MP3 out; checked with ffprobe and ffmpeg, not with our code.

#include "EngineTestSupport.h"
#include "media/FFLog.h"
#include "media/encode/component/TConvertThread.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <mutex>
#include <chrono>
#include <thread>
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

void RecordHook(TTestEngine& engine, THookLog& log) {
    engine.OnAudioHookCallback = [&log](TCustomFFmpeg*, int64_t pts, void*, int, int rate,
                                        int channels, int format) {
        log.Pts.push_back(pts);
        log.Rate = rate;
        log.Channels = channels;
        log.Format = format;
    };
}

TEST_F(CutTest, OutputSideStartCutsTenSecondsWithExactHeader) {
    TTestEngine engine;
    THookLog hook;
    RecordHook(engine, hook);
    std::vector<int> reportFiles;
    engine.OnProgressCallback = [&](TCustomFFmpeg*, int file, int64_t, int64_t, int64_t, float,
                                    float, int, int) { reportFiles.push_back(file); };
    ASSERT_TRUE(
        SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("cut.mp3"), 5000000, 10000000))
        << engine.LastErrorText();
    EXPECT_EQ(engine.Start(false, 0), nullptr);

    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_TRUE(engine.Terminated());
    ASSERT_FALSE(hook.Pts.empty());
    EXPECT_NEAR(double(hook.Pts.front()), 5000000.0, 1.0); // the first block starts at the start
    EXPECT_LT(hook.Pts.back(), 15000000);                  // reading stopped at 15 s
    EXPECT_GT(hook.Pts.back(), 15000000 - 60000);
    EXPECT_EQ(hook.Rate, 44100);
    EXPECT_EQ(hook.Channels, 2);
    EXPECT_EQ(hook.Format, AV_SAMPLE_FMT_FLT); // MP3 decodes to float and stays float
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

namespace {

// Ranges whose ends fall inside decoded blocks (1152 samples each): the output holds exactly
// the range's samples, as a gapless decoder gives them back, and the first block the hook sees
// begins at the start.
TEST_F(CutTest, RangeIsExactToTheSample) {
    struct TCase {
        int64_t Start, Duration;
    } cases[] = {{5000000, 10000000}, {5500000, 2250000}, {0, 1000000}, {193700000, 3000000}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Start);
        TTestEngine engine;
        THookLog hook;
        RecordHook(engine, hook);
        const QString name = Out(QString("exact%1.mp3").arg(c.Start));
        ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("tone200.mp3"), name, c.Start, c.Duration))
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        EXPECT_EQ(int64_t(DecodeS16(name).size()), 2 * c.Duration * 44100 / 1000000);
        ASSERT_FALSE(hook.Pts.empty());
        if (c.Start > 0) // block times are whole microseconds
            EXPECT_NEAR(double(hook.Pts.front()), double(c.Start), 1.0);
    }
}

TEST_F(CutTest, InputSideStartSeeksAndCountsFromZero) {
    TTestEngine engine;
    THookLog hook;
    RecordHook(engine, hook);
    engine.S().StartTime = 5000000; // given before the input: consumed by its seek
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3"))) << engine.LastErrorText();
    EXPECT_EQ(engine.S().StartTime, 0);
    // The file's own start (the encoder delay) moves the offset by a few milliseconds.
    EXPECT_NEAR(double(engine.InputTsOffset(0)), -5000000.0, 30000.0);
    engine.S().AudioCodecName = "libmp3lame";
    engine.S().RecordingTime = 10000000;
    ASSERT_GT(engine.OpenOutputFile(Out("seek.mp3"), false), 0) << engine.LastErrorText();
    engine.Start(false, 0);

    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    ASSERT_FALSE(hook.Pts.empty());
    EXPECT_NEAR(double(hook.Pts.front()), 0.0, 60000.0);
    EXPECT_LT(hook.Pts.back(), 10000000);
    EXPECT_NEAR(DecodedSeconds(Out("seek.mp3")), 10.0, 0.06);
}

TEST_F(CutTest, CoverPictureIsNotAVideoStream) {
    TTestEngine engine;
    ASSERT_TRUE(
        SetUpCut(engine, testpaths::fixture("withcover.mp3"), Out("nocover.mp3"), 2000000, 5000000))
        << engine.LastErrorText();
    engine.Start(false, 0);
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    const TProbe p = Probe(Out("nocover.mp3"));
    EXPECT_EQ(p.AudioStreams, 1);
    EXPECT_EQ(p.VideoStreams, 0);
    EXPECT_NEAR(DecodedSeconds(Out("nocover.mp3")), 5.0, 0.03);
}

// Skipping the packets before the preroll must not change a single output byte.
TEST_F(CutTest, PrerollSkipGivesTheSameBytesAsDecodingEverything) {
    // Deep starts position the reading through the frame index; the tagged file's frames begin
    // after an ID3v2 tag. Ranges that reach the end must lose the encoder's padding there as a
    // read from the start does: 196 s + 4 s ends at the last sample, 196.5 s + 4 s and the
    // open-ended range run past it; the VBR file's tag frame is smaller than its frames, and
    // the cover picture comes before the first audio packet.
    const std::tuple<const char*, int64_t, int64_t> cases[] = {
        {"tone200.mp3", 0, 4000000},
        {"tone200.mp3", 400000, 4000000},
        {"tone200.mp3", 900000, 4000000},
        {"tone200.mp3", 120000000, 4000000},
        {"tone200.mp3", 150000000, 4000000},
        {"tone200.mp3", 193000000, 4000000},
        {"tone200.mp3", 196000000, 4000000},
        {"tone200.mp3", 196500000, 4000000},
        {"tone200.mp3", 197000000, ffopt::NoTimeLimit},
        {"tagged.mp3", 150000000, 4000000},
        {"mono22k.mp3", 20000000, 4000000},
        {"mono22k.mp3", 27000000, ffopt::NoTimeLimit},
        {"noise60vbr.mp3", 57000000, ffopt::NoTimeLimit},
        {"withcover.mp3", 16000000, ffopt::NoTimeLimit}};
    for (const auto& [fixture, start, duration] : cases) {
        SCOPED_TRACE(std::string(fixture) + " " + std::to_string(start));
        QByteArray outputs[2];
        std::vector<int64_t> firstPts[2];
        for (int skip = 0; skip < 2; ++skip) {
            TTestEngine engine;
            THookLog hook;
            RecordHook(engine, hook);
            engine.SetSkipBeforePreroll(skip == 1);
            const QString name = Out(QString("p%1_%2.mp3").arg(start).arg(skip));
            ASSERT_TRUE(SetUpCut(engine, testpaths::fixture(fixture), name, start, duration));
            engine.Start(false, 0);
            ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
            outputs[skip] = ReadAll(name);
            firstPts[skip] = hook.Pts;
        }
        EXPECT_GT(outputs[0].size(), 3000);
        EXPECT_TRUE(outputs[0] == outputs[1]);
        EXPECT_EQ(firstPts[0], firstPts[1]);
    }
}

TEST_F(CutTest, StopLeavesACompletePlayableShorterFile) {
    TTestEngine engine;
    std::atomic<int64_t> lastPts{0};
    engine.OnAudioHookCallback = [&](TCustomFFmpeg*, int64_t pts, void*, int, int, int, int) {
        lastPts = pts;
    };
    std::atomic<int> terminated{0};
    engine.OnTerminateCallback = [&](TCustomFFmpeg*) { ++terminated; };
    ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("stopped.mp3"), 0,
                         ffopt::NoTimeLimit));
    TConvertThread* worker = engine.Start(true, 0);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    while (lastPts < 20000000 && !engine.Terminated())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    engine.Stop(true);
    engine.Stop(true); // a second stop of a joined worker must not run the task again

    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(engine.Finished());
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_TRUE(DecodesCleanly(Out("stopped.mp3")));
    EXPECT_TRUE(HasXingLameHeader(Out("stopped.mp3")));
    const double seconds = DecodedSeconds(Out("stopped.mp3"));
    EXPECT_GT(seconds, 19.0);
    EXPECT_LT(seconds, 190.0);
    // A terminated engine does not run again.
    EXPECT_EQ(engine.Start(true, 0), nullptr);
}

TEST_F(CutTest, ProgressComesNoFasterThanTheInterval) {
    {
        TTestEngine engine;
        std::vector<int> files;
        engine.OnProgressCallback = [&](TCustomFFmpeg*, int file, int64_t, int64_t, int64_t, float,
                                        float, int, int) { files.push_back(file); };
        ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("short.mp3"), Out("short.mp3"), 0,
                             ffopt::NoTimeLimit));
        const auto begin = std::chrono::steady_clock::now();
        engine.Start(false, 0);
        const auto took = std::chrono::steady_clock::now() - begin;
        ASSERT_FALSE(files.empty());
        EXPECT_EQ(files.back(), -1);
        // A run shorter than the interval gives the final report alone (a loaded machine may
        // make the run itself longer; then one report per interval at most).
        if (took < std::chrono::milliseconds(500))
            EXPECT_EQ(files.size(), 1u);
        else
            EXPECT_LE(files.size(), size_t(1 + took / std::chrono::milliseconds(500)));
    }
    TTestEngine engine;
    engine.ProgressInterval = 100000;
    std::vector<int64_t> at;
    std::vector<int64_t> current;
    engine.OnProgressCallback = [&](TCustomFFmpeg*, int file, int64_t total, int64_t now,
                                    int64_t size, float, float, int, int) {
        if (file >= 0)
            at.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
        current.push_back(now);
        EXPECT_EQ(total, 60000000);
        EXPECT_GE(size, 0);
    };
    ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("long.mp3"), 0, 60000000));
    engine.Start(false, 0);
    ASSERT_GE(at.size(), 2u);
    // Measured inside the callback, a little after the engine's own clock read.
    for (size_t i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 100000 - 2000);
    EXPECT_NEAR(double(current.back()), 60000000.0, 100000.0);
}

} // namespace

namespace {

struct TLogCapture {
    TLogCapture() {
        ActiveLogger()->SetTriggerEventInMainThread(false);
        ActiveLogger()->SetOnLog([this](QObject*, uint32_t, TLogLevel, const QString& msg) {
            std::lock_guard<std::mutex> lock(Lock);
            Lines << msg;
        });
    }
    ~TLogCapture() { ActiveLogger()->SetOnLog(nullptr); }
    QStringList Take() {
        std::lock_guard<std::mutex> lock(Lock);
        return Lines;
    }
    std::mutex Lock; // guards Lines, filled by whichever thread logs
    QStringList Lines;
};

TEST_F(CutTest, LogShowsTheMappingAndTheClosestSupportedRate) {
    TLogCapture log;
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("short.mp3")));
    engine.S().AudioCodecName = "libmp3lame";
    engine.S().AudioSampleRate = 44000;
    ASSERT_GT(engine.OpenOutputFile(Out("rate.mp3"), false), 0) << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    const QStringList lines = log.Take();
    EXPECT_TRUE(lines.contains("Requested sampling rate unsupported using closest supported "
                               "(44100)"));
    const int mapping = int(lines.indexOf("Stream mapping:"));
    ASSERT_GE(mapping, 0);
    ASSERT_LT(mapping + 1, lines.size());
    EXPECT_EQ(lines[mapping + 1], "  Stream #0.0 -> #0.0 (audio)");
    EXPECT_EQ(Probe(Out("rate.mp3")).SampleRate, 44100);
}

} // namespace

namespace {

// Two tasks on their own workers at once: codec opening and closing are serialised by the codec
// lock, each run reports on its own thread, and both outputs come out whole.
TEST_F(CutTest, TwoThreadedRunsAtOnce) {
    TTestEngine engines[2];
    std::atomic<int> terminated{0};
    std::atomic<int64_t> hooked[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        engines[i].OnTerminateCallback = [&](TCustomFFmpeg*) { ++terminated; };
        engines[i].OnAudioHookCallback = [&hooked, i](TCustomFFmpeg*, int64_t, void*, int size, int,
                                                      int, int) { hooked[i] += size; };
        ASSERT_TRUE(SetUpCut(engines[i], testpaths::fixture("tone200.mp3"),
                             Out(QString("both%1.mp3").arg(i)), 10000000 * (i + 1), 5000000));
    }
    for (TTestEngine& e : engines) {
        TConvertThread* worker = e.Start(true, 0);
        ASSERT_NE(worker, nullptr);
        worker->Resume();
    }
    for (int waited = 0; terminated < 2 && waited < 60000; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 2; ++i) {
        engines[i].Stop(true);
        EXPECT_FALSE(engines[i].Failed()) << engines[i].ErrorText();
        EXPECT_TRUE(engines[i].Finished());
        EXPECT_GT(hooked[i], 0);
        EXPECT_TRUE(DecodesCleanly(Out(QString("both%1.mp3").arg(i))));
    }
    EXPECT_EQ(terminated, 2);
}

} // namespace
