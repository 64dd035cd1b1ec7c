// The encoder component on real files: task runs on worker threads and in the caller, the order
// and threads of its events, the working guard, stopping, and the options it hands the engine.
#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/MyUtils.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

using enginetest::PumpUntil;
using TEventLog = enginetest::TTerminateLog;

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadEngineLibraries();
        ASSERT_TRUE(Dir.isValid());
        Encoder.SetOnTerminate([this](QObject*, const TTerminateInfo& i) { Events.Add(i); });
    }

    QString Out(const QString& name) const { return Dir.filePath(name); }

    // A task cutting one second of the 10 s WAV tone into an MP3.
    void AddShortTask(const QString& outName) {
        TInputOptions in;
        InitInputOptions(in);
        const int index = Encoder.AddTask(testpaths::fixture("tone10.wav"), &in);
        ASSERT_GE(index, 0) << Encoder.LastErrorText().toStdString();
        TOutputOptions out;
        InitOutputOptions(out);
        out.AudioCodec = "libmp3lame";
        out.Duration = 1000000;
        ASSERT_TRUE(Encoder.SetOutputFile(index, Out(outName), &out))
            << Encoder.LastErrorText().toStdString();
    }

    std::vector<int> TaskIndexes() { return Events.TaskIndexes(); }

    QTemporaryDir Dir;
    TEventLog Events;
    TFFEncoder Encoder;
};

TEST_F(EncoderTest, EachTaskInputHasAProbeUntilTheRunClosesIt) {
    AddShortTask("probed.mp3");
    TFFDecoder* probe = Encoder.TaskInputProbe(0, 0);
    ASSERT_NE(probe, nullptr);
    EXPECT_NE(probe->FormatContext(), nullptr);
    EXPECT_FALSE(probe->OwnsContext());
    EXPECT_EQ(probe->AudioStreamCount(), 1);
    EXPECT_NEAR(double(probe->GetMediaInfo().Duration), 10e6, 1e5);
    EXPECT_EQ(Encoder.TaskInputProbe(0, 1), nullptr);
    EXPECT_EQ(Encoder.TaskInputProbe(1, 0), nullptr);
    EXPECT_EQ(Encoder.TaskInputProbe(-1, 0), nullptr);

    Encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return Events.HasFinalReport(); }));
    // The run closed the input; the probe forgot it rather than keep a dangling context.
    ASSERT_EQ(Encoder.TaskInputProbe(0, 0), probe);
    EXPECT_EQ(probe->FormatContext(), nullptr);
    EXPECT_EQ(probe->StreamCount(), -1);
}

TEST_F(EncoderTest, ThreadedRunReportsEveryTaskThenTheRunAndStaysWorkingUntilCleared) {
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddShortTask(name);
    Encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return Events.HasFinalReport(); }));

    const auto events = Events.Snapshot();
    EXPECT_EQ(TaskIndexes(), (std::vector<int>{0, 1, 2, -1}));
    for (const auto& e : events) {
        EXPECT_TRUE(e.Info.Finished) << e.Info.TaskIndex;
        EXPECT_FALSE(e.Info.Failed) << e.Info.ErrorText;
        EXPECT_FALSE(e.OnMainThread) << "threaded runs report on notification threads";
    }
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) {
        const auto probe = enginetest::Probe(Out(name));
        ASSERT_TRUE(probe.Ok) << name;
        EXPECT_NEAR(probe.Duration, 1.0, 0.1) << name;
    }

    // The run has ended, but the tasks stay until the owner clears them.
    EXPECT_TRUE(Encoder.Working());
    try {
        Encoder.AddTask(testpaths::fixture("tone10.wav"));
        FAIL() << "AddTask was accepted after a run";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
    EXPECT_THROW(Encoder.StartTask(1), std::logic_error);

    Encoder.ClearTasks();
    EXPECT_EQ(Encoder.TaskCount(), 0);
    EXPECT_FALSE(Encoder.Working());
    Events.Clear();
    AddShortTask("second.mp3");
    Encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return Events.HasFinalReport(); }));
    EXPECT_EQ(TaskIndexes(), (std::vector<int>{0, -1}));
    EXPECT_TRUE(enginetest::Probe(Out("second.mp3")).Ok);
}

TEST_F(EncoderTest, RunWithoutThreadsReturnsAfterEveryEventInTheCaller) {
    AddShortTask("a.mp3");
    AddShortTask("b.mp3");
    Encoder.StartTask(0);

    EXPECT_EQ(TaskIndexes(), (std::vector<int>{0, 1, -1}));
    for (const auto& e : Events.Snapshot()) {
        EXPECT_TRUE(e.OnMainThread);
        EXPECT_TRUE(e.Info.Finished);
    }
    EXPECT_TRUE(enginetest::Probe(Out("a.mp3")).Ok);
    EXPECT_TRUE(enginetest::Probe(Out("b.mp3")).Ok);
}

TEST_F(EncoderTest, StartWithoutTasksRaisesNothingAndCanBeCleared) {
    Encoder.StartTask(1);
    PumpMessages();
    QThread::msleep(50);
    PumpMessages();
    EXPECT_TRUE(Events.Snapshot().empty());
    EXPECT_TRUE(Encoder.Working());
    EXPECT_THROW(Encoder.AddTask(testpaths::fixture("tone10.wav")), std::logic_error);
    // No task will ever report, so the empty run has ended: the component must not stay locked.
    Encoder.ClearTasks();
    AddShortTask("after-empty-run.mp3");
    Encoder.StartTask(0);
    EXPECT_EQ(TaskIndexes(), (std::vector<int>{0, -1}));
}

TEST_F(EncoderTest, ProgressIntervalHasAFloorOfOneHundredMilliseconds) {
    EXPECT_EQ(Encoder.ProgressInterval(), 500);
    Encoder.SetProgressInterval(50);
    EXPECT_EQ(Encoder.ProgressInterval(), 100);
    Encoder.SetProgressInterval(250);
    EXPECT_EQ(Encoder.ProgressInterval(), 250);
}

TEST_F(EncoderTest, RecordsComeBackWithTheFileNameAndFailuresLeaveTheirMessage) {
    TInputOptions in;
    InitInputOptions(in);
    const int index = Encoder.AddTask(testpaths::fixture("tone10.wav"), &in);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(in.FileName, testpaths::fixture("tone10.wav"));
    TOutputOptions out;
    InitOutputOptions(out);
    ASSERT_TRUE(Encoder.SetOutputFile(0, Out("named.mp3"), &out));
    EXPECT_EQ(out.FileName, Out("named.mp3"));

    EXPECT_EQ(Encoder.AddTask(Out("missing.mp3")), -1);
    EXPECT_TRUE(Encoder.LastErrorText().contains(QStringLiteral("missing.mp3")))
        << Encoder.LastErrorText().toStdString();
    EXPECT_EQ(Encoder.TaskCount(), 1);

    InitOutputOptions(out);
    EXPECT_FALSE(Encoder.SetOutputFile(0, Out("no-such-folder/x.mp3"), &out));
    EXPECT_FALSE(Encoder.LastErrorText().isEmpty());
}

TEST_F(EncoderTest, TwentyOutputsPerTaskAndNoMore) {
    ASSERT_EQ(Encoder.AddTask(testpaths::fixture("tone10.wav")), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(Encoder.SetOutputFile(0, Out(QStringLiteral("o%1.mp3").arg(i))))
            << i << ": " << Encoder.LastErrorText().toStdString();
    EXPECT_FALSE(Encoder.SetOutputFile(0, Out(QStringLiteral("o20.mp3"))));
    EXPECT_EQ(Encoder.LastErrorText(), QStringLiteral("max output files 20 reached"));
    EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral("o20.mp3"))));
}

TEST_F(EncoderTest, NewStreamLinesTakeThePendingCodecsInOrder) {
    ASSERT_EQ(Encoder.AddTask(testpaths::fixture("tone10.wav")), 0);
    TOutputOptions out;
    InitOutputOptions(out);
    out.Duration = 1000000;
    out.ExtOptions = "acodec=mp2<CRLF>newaudio=1<CRLF>acodec=aac<CRLF>newaudio=1";
    ASSERT_TRUE(Encoder.SetOutputFile(0, Out("streams.mkv"), &out))
        << Encoder.LastErrorText().toStdString();
    Encoder.StartTask(0);
    ASSERT_EQ(TaskIndexes(), (std::vector<int>{0, -1}));
    ASSERT_TRUE(Events.Snapshot()[0].Info.Finished) << Events.Snapshot()[0].Info.ErrorText;

    const auto r =
        enginetest::RunTool("ffprobe", {"-v", "error", "-select_streams", "a", "-show_entries",
                                        "stream=codec_name", "-of", "csv=p=0", Out("streams.mkv")});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    // The first stream takes the first acodec line through the defaults list; each newaudio
    // line then consumes the next pending acodec line.
    EXPECT_EQ(QString::fromUtf8(r.Out).split('\n', Qt::SkipEmptyParts),
              (QStringList{"mp2", "mp2", "aac"}));
}

TEST_F(EncoderTest, StopDuringARunEndsItWithAValidShorterFile) {
    std::atomic<int> progressReports{0};
    Encoder.SetOnProgress([&](QObject*, const TProgressInfo*) { ++progressReports; });
    Encoder.SetProgressInterval(100);
    ASSERT_EQ(Encoder.AddTask(testpaths::fixture("tone200.mp3")), 0);
    TOutputOptions out;
    InitOutputOptions(out);
    out.AudioCodec = "libmp3lame";
    ASSERT_TRUE(Encoder.SetOutputFile(0, Out("stopped.mp3"), &out));
    Encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return progressReports.load() > 0; }));
    Encoder.StopTasks(true);
    ASSERT_TRUE(PumpUntil([&] { return Events.HasFinalReport(); }));

    const auto events = Events.Snapshot();
    ASSERT_EQ(TaskIndexes(), (std::vector<int>{0, -1}));
    EXPECT_FALSE(events[0].Info.Finished);
    EXPECT_FALSE(events[0].Info.Failed) << events[0].Info.ErrorText;
    const auto probe = enginetest::Probe(Out("stopped.mp3"));
    ASSERT_TRUE(probe.Ok);
    EXPECT_GT(probe.Duration, 0.0);
    EXPECT_LT(probe.Duration, 190.0);
    EXPECT_TRUE(enginetest::DecodesCleanly(Out("stopped.mp3")));
}

TEST_F(EncoderTest, AudioHookRunsOnTheWorkerWithSixteenBitBlocks) {
    struct THookCall {
        int TaskIndex, SampleRate, Channels, Format;
        int64_t Pts;
        bool OnMainThread;
    };
    std::mutex lock; // guards calls
    std::vector<THookCall> calls;
    Encoder.SetOnAudioHook(
        [&](QObject*, int task, int64_t pts, void*, int, int rate, int ch, int fmt) {
            std::lock_guard<std::mutex> g(lock);
            calls.push_back({task, rate, ch, fmt, pts, IsMainThread()});
        });
    ASSERT_EQ(Encoder.AddTask(testpaths::fixture("tone200.mp3")), 0);
    TOutputOptions out;
    InitOutputOptions(out);
    out.AudioCodec = "libmp3lame";
    out.AudioHook = true;
    out.StartTime = 5000000;
    out.Duration = 1000000;
    ASSERT_TRUE(Encoder.SetOutputFile(0, Out("hooked.mp3"), &out));
    Encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return Events.HasFinalReport(); }));

    std::lock_guard<std::mutex> g(lock);
    ASSERT_FALSE(calls.empty());
    for (const auto& c : calls) {
        EXPECT_EQ(c.TaskIndex, 0);
        EXPECT_EQ(c.SampleRate, 44100);
        EXPECT_EQ(c.Channels, 2);
        EXPECT_EQ(c.Format, int(AV_SAMPLE_FMT_FLT));
        EXPECT_FALSE(c.OnMainThread);
    }
    // Blocks are raised from the start of the range on, with times on the source's timeline.
    EXPECT_GE(calls.front().Pts, 5000000 - 30000);
    EXPECT_LT(calls.front().Pts, 5100000);
}

TEST_F(EncoderTest, DestroyedDuringARunStopsItWithoutAnotherEvent) {
    auto encoder = std::make_unique<TFFEncoder>();
    std::atomic<int> events{0};
    encoder->SetOnTerminate([&](QObject*, const TTerminateInfo&) { ++events; });
    ASSERT_EQ(encoder->AddTask(testpaths::fixture("tone200.mp3")), 0);
    ASSERT_TRUE(encoder->SetOutputFile(0, Out("destroyed.mp3")));
    encoder->StartTask(1);
    QThread::msleep(100);
    encoder.reset();
    EXPECT_EQ(events.load(), 0);
}

} // namespace
