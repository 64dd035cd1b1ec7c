// A cut encodes on a thread of its own: the file must not change by a byte, failures of that
// thread must end the run as they did on one thread, and a stop at any moment must leave a
// complete file or none.

#include "EngineTestSupport.h"
#include "common/Mp3Variants.h"
#include "common/TestPaths.h"
#include "job/CutRules.h"
#include "media/encode/component/TConvertThread.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <thread>

using namespace enginetest;

namespace {

class EncoderThreadCut : public testing::Test {
protected:
    void SetUp() override { LoadEngineLibraries(); }
    QString Out(const QString& name) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

struct TCutCase {
    QString Source;
    int64_t Start, Duration; // µs
    int Volume = 256;
    bool Cover = false; // the source's picture copied as the window's command line does
};

struct TCutResult {
    QByteArray Bytes;
    bool Finished = false, Failed = false, Threaded = false;
    std::string Error;
    std::vector<int64_t> HookPts;
};

TCutResult Cut(const TCutCase& c, const QString& dst, bool ownThread) {
    TTestEngine engine;
    engine.SetEncodeOnOwnThread(ownThread);
    TCutResult r;
    const int64_t end = c.Duration == ffopt::NoTimeLimit ? INT64_MAX / 2 : c.Start + c.Duration;
    engine.OnAudioHookCallback = [&r, c, end](TCustomFFmpeg*, int64_t pts, void* samples, int size,
                                              int rate, int channels, int format) {
        r.HookPts.push_back(pts);
        ApplyFade(pts, samples, size, rate, channels, format, c.Start, end);
    };
    if (!engine.OpenInputFile(c.Source)) {
        r.Error = "open: " + engine.LastErrorText();
        return r;
    }
    if (c.Cover)
        engine.ApplyOptionString("map=0:1\nmap=0:0\nvcodec=copy", true);
    engine.S().AudioCodecName = "libmp3lame";
    engine.S().StartTime = c.Start;
    engine.S().RecordingTime = c.Duration;
    engine.S().AudioVolume = c.Volume;
    if (engine.OpenOutputFile(dst, false) <= 0) {
        r.Error = "output: " + engine.LastErrorText();
        return r;
    }
    // On a worker thread, as the encoder component runs every cut.
    TConvertThread* worker = engine.Start(true, 0);
    if (!worker) {
        r.Error = "start: " + engine.ErrorText();
        return r;
    }
    worker->Resume();
    if (!PumpUntil([&] { return engine.Terminated(); }, 300000)) {
        r.Error = "did not end";
        return r;
    }
    engine.Stop(true);
    r.Finished = engine.Finished();
    r.Failed = engine.Failed();
    r.Error = engine.ErrorText();
    r.Bytes = ReadAll(dst);
    r.Threaded = engine.UsedEncoderThread();
    return r;
}

TEST_F(EncoderThreadCut, OutputIsTheSameByteForByteAsOnOneThread) {
    const QString tone = testpaths::fixture("tone200.mp3");
    const QString sweep = testpaths::fixture("sweep60.mp3");
    constexpr int64_t s = 1000000, open = ffopt::NoTimeLimit;
    std::vector<TCutCase> cases = {
        {tone, 0, 4 * s},            // CBR from the start
        {tone, 150 * s, 4 * s, 100}, // deep start, quieter
        {tone, 196500000, open},     // to the end, past the encoder's padding
        {testpaths::fixture("noise60vbr.mp3"), 10 * s, 8 * s}, // VBR
        {testpaths::fixture("noise60vbr.mp3"), 57 * s, open},
        {testpaths::fixture("mono22k.mp3"), 20 * s, 4 * s, 300}, // mono 22 kHz, clipping louder
        {testpaths::fixture("tagged.mp3"), 150 * s, 4 * s},
        {testpaths::fixture("withcover.mp3"), 16 * s, 5 * s, 256, true}, // picture copied
        {mp3variants::WithGarbagePayload(tone, Dir.path()), 0, 5 * s},
        {mp3variants::WithFirstFramesOnly(tone, Dir.path(), 300), 0, 20 * s}, // ends early
        {mp3variants::WithoutMiddleFrame(testpaths::fixture("noise60vbr.mp3"), Dir.path()), 25 * s,
         10 * s},
    };
    // A split into ten pieces, each cut on its own.
    for (int piece = 0; piece < 10; ++piece)
        cases.push_back({sweep, piece * 6 * s, 6 * s});
    for (size_t i = 0; i < cases.size(); ++i) {
        const TCutCase& c = cases[i];
        SCOPED_TRACE(QFileInfo(c.Source).fileName().toStdString() + " from " +
                     std::to_string(c.Start));
        const TCutResult one = Cut(c, Out(QString("one%1.mp3").arg(i)), false);
        const TCutResult two = Cut(c, Out(QString("two%1.mp3").arg(i)), true);
        EXPECT_EQ(one.Failed, two.Failed);
        EXPECT_EQ(one.Finished, two.Finished);
        EXPECT_EQ(one.Error, two.Error);
        EXPECT_EQ(one.HookPts, two.HookPts);
        EXPECT_EQ(one.Bytes.size(), two.Bytes.size());
        EXPECT_TRUE(one.Bytes == two.Bytes);
        EXPECT_FALSE(one.Threaded);
        if (i < 8) { // the sound sources must really have been cut, on two threads
            EXPECT_FALSE(two.Failed) << two.Error;
            EXPECT_TRUE(two.Threaded);
            EXPECT_GT(two.Bytes.size(), 10000);
        }
        if (c.Cover) {
            EXPECT_EQ(Probe(Out(QString("two%1.mp3").arg(i))).VideoStreams, 1);
        }
    }
}

// A write that fails on the encoder thread ends the run with the message a run on one thread
// gives, and leaves no partial file.
TEST_F(EncoderThreadCut, WriteFailuresEndTheRunAsOnOneThread) {
    for (int own = 0; own < 2; ++own) {
        SCOPED_TRACE(own);
        TTestEngine full;
        full.SetEncodeOnOwnThread(own == 1);
        ASSERT_TRUE(full.OpenInputFile(testpaths::fixture("tone200.mp3")));
        full.S().FileFormat = "mp3";
        full.S().AudioCodecName = "libmp3lame";
        ASSERT_GT(full.OpenOutputFile("/dev/full", false), 0) << full.LastErrorText();
        full.Start(false, 0);
        EXPECT_TRUE(full.Failed());
        EXPECT_FALSE(full.Finished());
        EXPECT_EQ(full.ErrorText(), "av_interleaved_write_frame(): No space left on device");

        TTestEngine limited;
        limited.SetEncodeOnOwnThread(own == 1);
        const QString name = Out(QString("partial%1.mp3").arg(own));
        ASSERT_TRUE(
            SetUpCut(limited, testpaths::fixture("tone200.mp3"), name, 0, ffopt::NoTimeLimit));
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 200000;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        limited.Start(false, 0);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_TRUE(limited.Failed());
        EXPECT_EQ(limited.ErrorText(), "av_interleaved_write_frame(): File too large");
        EXPECT_FALSE(QFileInfo::exists(name));
        EXPECT_TRUE(
            QDir(Dir.path()).entryList({".snipwave-*"}, QDir::Hidden | QDir::Files).isEmpty());
    }
}

// Stops at once, at random moments and from the hook on the run's own thread: the run ends
// promptly, stopped but not failed, with a complete file or, when nothing was encoded yet, none.
TEST_F(EncoderThreadCut, StopsAtAnyMomentLeaveACompleteFileOrNone) {
    std::mt19937 random(26);
    for (int run = 0; run < 24; ++run) {
        SCOPED_TRACE(run);
        TTestEngine engine;
        const QString name = Out(QString("stop%1.mp3").arg(run));
        const int64_t stopAt = int64_t(random() % 30) * 1000000; // hook time, µs
        const bool fromHook = run % 3 == 2;
        engine.OnAudioHookCallback = [&engine, fromHook, stopAt](TCustomFFmpeg*, int64_t pts, void*,
                                                                 int, int, int, int) {
            if (fromHook && pts >= stopAt)
                engine.Stop(false);
        };
        ASSERT_TRUE(
            SetUpCut(engine, testpaths::fixture("tone200.mp3"), name, 3000000, ffopt::NoTimeLimit));
        TConvertThread* worker = engine.Start(true, 0);
        ASSERT_NE(worker, nullptr);
        worker->Resume();
        if (!fromHook && run % 3 == 1)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300000));
        const auto begin = std::chrono::steady_clock::now();
        if (!fromHook)
            engine.Stop(true);
        ASSERT_TRUE(PumpUntil([&] { return engine.Terminated(); }));
        engine.Stop(true);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
        EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
        EXPECT_FALSE(engine.Finished());
        if (QFileInfo::exists(name)) {
            EXPECT_TRUE(DecodesCleanly(name));
            EXPECT_TRUE(HasXingLameHeader(name));
        }
    }
    EXPECT_TRUE(QDir(Dir.path()).entryList({".snipwave-*"}, QDir::Hidden | QDir::Files).isEmpty());
}

} // namespace
