// The encoder component's threads and lifetimes on the paths that a happy run never takes:
// stopping from inside its own handlers, from two threads at once, detaching handlers while
// their calls are on the way, throwing handlers, and destruction in the middle of a run. Each
// case here once deadlocked, read freed memory or broke the order of events; the suite also
// runs them many times in a row (see tests/CMakeLists.txt).
#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "job/CutJob.h"
#include "job/VelLog.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/encode/component/TFFEncoder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using enginetest::PumpUntil;
using TReports = enginetest::TTerminateLog;

class EncoderThreads : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadEngineLibraries();
        ASSERT_TRUE(Dir.isValid());
    }

    QString Out(const QString& name) const { return Dir.filePath(name); }

    // A task on a fixture; durationUs < 0 takes the whole file.
    void AddTask(TFFEncoder& encoder, const char* fixture, const QString& output,
                 int64_t durationUs = -1, bool audioHook = false) {
        TInputOptions in;
        InitInputOptions(in);
        const int index = encoder.AddTask(testpaths::fixture(fixture), &in);
        ASSERT_GE(index, 0) << encoder.LastErrorText().toStdString();
        TOutputOptions out;
        InitOutputOptions(out);
        out.AudioCodec = "libmp3lame";
        out.AudioHook = audioHook;
        if (durationUs > 0)
            out.Duration = durationUs;
        ASSERT_TRUE(encoder.SetOutputFile(index, output, &out))
            << encoder.LastErrorText().toStdString();
    }

    QTemporaryDir Dir;
};

TEST_F(EncoderThreads, StopWithWaitingFromAProgressHandlerReturnsWhereverTheHandlerRuns) {
    for (const bool inMainThread : {true, false}) {
        SCOPED_TRACE(inMainThread ? "handler in the main thread" : "handler on the worker");
        TFFEncoder encoder;
        encoder.SetTriggerEventInMainThread(inMainThread);
        TReports reports;
        encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) { reports.Add(i); });
        std::atomic<bool> returned{false};
        encoder.SetProgressInterval(100);
        encoder.SetOnProgress([&](QObject*, const TProgressInfo*) {
            if (returned.load())
                return;
            // The worker delivering this report cannot end before the handler returns; the stop
            // must not wait for it.
            encoder.StopTasks(true);
            returned = true;
        });
        const QString out = Out(inMainThread ? "main.mp3" : "worker.mp3");
        AddTask(encoder, "tone200.mp3", out);
        encoder.StartTask(1);
        ASSERT_TRUE(PumpUntil([&] { return returned.load() && reports.HasFinalReport(); }));
        const auto list = reports.Snapshot();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_FALSE(list[0].Info.Finished);
        EXPECT_FALSE(list[0].Info.Failed);
        // Stopped early, and what was written is a whole file.
        EXPECT_TRUE(enginetest::DecodesCleanly(out));
        EXPECT_LT(enginetest::DecodedSeconds(out), 150.0);
    }
}

TEST_F(EncoderThreads, ATerminateHandlerAndTheOwnerStopWithWaitingAtOnce) {
    TFFEncoder encoder;
    TReports reports;
    std::atomic<bool> handlerReturned{false};
    std::atomic<bool> stopping{false};
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) {
        reports.Add(i);
        if (i.TaskIndex == 0) {
            stopping = true;
            encoder.StopTasks(true); // on the notification thread, racing the owner's
            handlerReturned = true;
        }
    });
    // Slows the long task once the stop is asked, so both stoppers wait for its worker.
    encoder.SetOnAudioHook([&](QObject*, int task, int64_t, void*, int, int, int, int) {
        if (task == 1 && stopping.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    AddTask(encoder, "tone10.wav", Out("short.mp3"), 300000);
    AddTask(encoder, "tone200.mp3", Out("long.mp3"), -1, true);
    AddTask(encoder, "tone10.wav", Out("third.mp3"), 300000);
    encoder.StartTask(2);
    ASSERT_TRUE(PumpUntil([&] { return stopping.load(); }));
    encoder.StopTasks(true);
    ASSERT_TRUE(PumpUntil([&] { return handlerReturned.load() && reports.HasFinalReport(); }));
    // Every task reported once, and the run last.
    std::vector<int> indexes = reports.TaskIndexes();
    ASSERT_EQ(indexes.size(), 4u);
    EXPECT_EQ(indexes.back(), -1);
    std::sort(indexes.begin(), indexes.end() - 1);
    EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2, -1}));
    // A task stopped before it wrote a frame leaves no file; one that did, a whole one.
    if (QFileInfo::exists(Out("long.mp3")))
        EXPECT_TRUE(enginetest::DecodesCleanly(Out("long.mp3")));
    encoder.ClearTasks(); // the run has ended for the component too
}

TEST_F(EncoderThreads, ARunWithoutThreadsStoppedFromItsHandlerRaisesEverythingInTheCaller) {
    TReports reports;
    std::atomic<bool> startReturned{false};
    std::atomic<int> lateEvents{0};
    TFFEncoder encoder;
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) {
        reports.Add(i);
        if (startReturned.load())
            ++lateEvents;
        CallInMainThread([] {}); // as an owner that hands work to the main thread does
    });
    std::atomic<bool> stopped{false};
    encoder.SetProgressInterval(100);
    encoder.SetOnProgress([&](QObject*, const TProgressInfo*) {
        if (!stopped.exchange(true))
            encoder.StopTasks(false);
    });
    AddTask(encoder, "tone200.mp3", Out("a.mp3"));
    AddTask(encoder, "tone10.wav", Out("b.mp3"));
    encoder.StartTask(0);
    startReturned = true;
    const auto list = reports.Snapshot();
    ASSERT_EQ(list.size(), 3u) << "every event is raised before StartTask(0) returns";
    EXPECT_EQ(reports.TaskIndexes(), (std::vector<int>{0, 1, -1}));
    for (const auto& r : list)
        EXPECT_TRUE(r.OnMainThread) << "task " << r.Info.TaskIndex;
    EXPECT_FALSE(list[1].Info.Finished);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(lateEvents.load(), 0);
}

// A wait inside StopTasks runs main-thread calls; owner code run that way must not free the task
// list the stop is walking.
TEST_F(EncoderThreads, OwnerCodeRunWhileAStopWaitsCannotChangeTheTasks) {
    TFFEncoder encoder;
    TReports reports;
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) { reports.Add(i); });
    std::atomic<bool> hooked{false}, holdWorker{false}, workerHeld{false}, ownerCodeRan{false};
    encoder.SetOnAudioHook([&](QObject*, int, int64_t, void*, int, int, int, int) {
        hooked = true;
        if (!holdWorker.load())
            return;
        // Keeps the worker, and so the stop below, busy until the owner code has run.
        workerHeld = true;
        for (int i = 0; i < 3000 && !ownerCodeRan.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        holdWorker = false;
    });
    AddTask(encoder, "tone200.mp3", Out("a.mp3"), -1, true);
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return hooked.load(); }));
    std::vector<std::string> refusals;
    QMetaObject::invokeMethod(
        &encoder,
        [&] {
            for (auto action :
                 {+[](TFFEncoder& e) { e.ClearTasks(); }, +[](TFFEncoder& e) { e.RemoveTask(0); },
                  +[](TFFEncoder& e) { e.StartTask(1); }}) {
                try {
                    action(encoder);
                } catch (const std::logic_error& e) {
                    refusals.push_back(e.what());
                }
            }
            ownerCodeRan = true;
        },
        Qt::QueuedConnection);
    holdWorker = true;
    while (!workerHeld.load()) // no pumping here: the owner code must run inside the stop
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    encoder.StopTasks(true);
    EXPECT_TRUE(ownerCodeRan.load());
    EXPECT_EQ(refusals, (std::vector<std::string>{"Cannot ClearTasks while working.",
                                                  "Cannot RemoveTask while working.",
                                                  "Cannot StartTask while working."}));
    ASSERT_TRUE(PumpUntil([&] { return reports.HasFinalReport(); }));
    EXPECT_NO_THROW(encoder.ClearTasks());
    EXPECT_TRUE(enginetest::DecodesCleanly(Out("a.mp3")));
}

TEST_F(EncoderThreads, DestroyedMidRunStartsNoWaitingTaskAndRaisesNothing) {
    auto encoder = std::make_unique<TFFEncoder>();
    std::atomic<int> reports{0};
    std::atomic<bool> progressed{false};
    encoder->SetOnTerminate([&](QObject*, const TTerminateInfo&) { ++reports; });
    encoder->SetProgressInterval(100);
    encoder->SetOnProgress([&](QObject*, const TProgressInfo*) { progressed = true; });
    AddTask(*encoder, "tone200.mp3", Out("a.mp3"));
    AddTask(*encoder, "tone10.wav", Out("b.mp3"));
    AddTask(*encoder, "tone10.wav", Out("c.mp3"));
    encoder->StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return progressed.load(); }));
    encoder.reset();
    EXPECT_EQ(reports.load(), 0);
    // The running task stopped with a whole file; the waiting ones never ran.
    EXPECT_TRUE(enginetest::DecodesCleanly(Out("a.mp3")));
    EXPECT_FALSE(QFileInfo::exists(Out("b.mp3")));
    EXPECT_FALSE(QFileInfo::exists(Out("c.mp3")));
}

TEST_F(EncoderThreads, DetachingTheTerminateHandlerWaitsForItsCallAndNoneFollows) {
    TFFEncoder encoder;
    std::atomic<bool> inside{false}, finished{false};
    std::atomic<int> callsAfterDetach{0};
    std::atomic<bool> detached{false};
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) {
        if (detached.load())
            ++callsAfterDetach;
        if (i.TaskIndex != 0)
            return;
        inside = true;
        // Waits for the main thread, which is detaching us meanwhile.
        CallInMainThread([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
        finished = true;
    });
    AddTask(encoder, "tone10.wav", Out("a.mp3"), 200000);
    AddTask(encoder, "tone10.wav", Out("b.mp3"), 200000);
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return inside.load(); }));
    encoder.SetOnTerminate(nullptr);
    detached = true;
    EXPECT_TRUE(finished.load()) << "the call in flight had returned before the detach did";
    PumpUntil([&] { return false; }, 300);
    EXPECT_EQ(callsAfterDetach.load(), 0);
}

TEST_F(EncoderThreads, ThrowingHandlersNeitherLoseTheEndNorStopTheRun) {
    TFFLogger logger;
    std::atomic<int> thrownByLog{0};
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString&) {
        ++thrownByLog;
        throw std::runtime_error("log sink failed");
    });
    logger.SetLogLevel(llQuiet); // only the engine's own failure lines pass
    TFFEncoder encoder;
    TReports reports;
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) {
        reports.Add(i);
        throw std::runtime_error("terminate handler failed");
    });
    encoder.SetProgressInterval(100);
    encoder.SetOnProgress(
        [&](QObject*, const TProgressInfo*) { throw std::runtime_error("progress failed"); });
    // Task 0 fails to open its encoder (and logs that); task 1 runs to its end.
    {
        TInputOptions in;
        InitInputOptions(in);
        ASSERT_EQ(encoder.AddTask(testpaths::fixture("tone10.wav"), &in), 0);
        TOutputOptions out;
        InitOutputOptions(out);
        out.AudioCodec = "libmp3lame";
        out.AudioChannels = 3; // a layout the encoder refuses
        ASSERT_TRUE(encoder.SetOutputFile(0, Out("fail.mp3"), &out));
    }
    AddTask(encoder, "tone10.wav", Out("ok.mp3"), 1000000);
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return reports.HasFinalReport(); }));
    const auto list = reports.Snapshot();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(list[0].Info.Failed);
    EXPECT_TRUE(list[1].Info.Finished);
    EXPECT_GT(thrownByLog.load(), 0);
    EXPECT_NEAR(enginetest::DecodedSeconds(Out("ok.mp3")), 1.0, 0.1);
    EXPECT_NO_THROW(encoder.ClearTasks());
    logger.SetOnLog(nullptr);
    logger.SetLogLevel(llInfo);
}

TEST_F(EncoderThreads, AnEngineStoppedFromSeveralThreadsAtOnceIsJoinedOnceAndReportsOnce) {
    for (const bool ran : {true, false}) {
        SCOPED_TRACE(ran ? "running" : "never started");
        enginetest::TTestEngine engine;
        ASSERT_TRUE(enginetest::SetUpCut(engine, testpaths::fixture("tone200.mp3"),
                                         Out(ran ? "r.mp3" : "n.mp3"), 0, 200000000));
        std::atomic<int> terminations{0};
        engine.OnTerminateCallback = [&](TCustomFFmpeg*) { ++terminations; };
        if (ran) {
            TConvertThread* worker = engine.Start(true, 0);
            ASSERT_NE(worker, nullptr);
            worker->Resume();
        }
        std::vector<std::thread> stoppers;
        for (int i = 0; i < 3; ++i)
            stoppers.emplace_back([&] { engine.Terminate(true); });
        engine.Terminate(true);
        for (auto& t : stoppers)
            t.join();
        // Each stopper returned only once the threads had ended.
        EXPECT_TRUE(engine.Terminated());
        EXPECT_EQ(terminations.load(), 1);
        EXPECT_EQ(engine.Start(true, 0), nullptr) << "a stopped engine never runs again";
    }
}

TEST_F(EncoderThreads, ACutJobGoneWhileItsReportsAreOnTheirWayIsNeverTouched) {
    StartAppLog(Dir.path()); // the job's log lines go to the scratch folder
    TFFEncoder encoder;
    auto job = std::make_unique<TCutJob>(encoder);
    TCutParams p;
    p.Source = testpaths::fixture("tone10.wav");
    p.Output = Out("cut.mp3");
    p.StartSeconds = 0;
    p.EndSeconds = 1;
    QString message;
    std::atomic<int> percent{-1};
    job->OnPercent = [&](int value) { percent = value; };
    ASSERT_TRUE(job->Start(p, message)) << message.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return percent.load() >= 100; }));
    // The main thread is busy while the task ends: its report waits for the main thread.
    QThread::msleep(200);
    job.reset();
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(enginetest::DecodesCleanly(Out("cut.mp3")));
    StopAppLog();
}

// A thread that holds the codec lock and logs (the libraries do inside avcodec_open2) while the
// main thread opens a task's input, which needs the same lock.
TEST_F(EncoderThreads, LinesLoggedUnderTheCodecLockWaitForItsReleaseAndNobodyDeadlocks) {
    TFFLogger logger;
    std::atomic<bool> holding{false}, released{false};
    std::atomic<bool> deliveredWhileHeld{false};
    std::atomic<int> workerLines{0};
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString& msg) {
        if (msg == "under the codec lock") {
            ++workerLines;
            if (holding.load())
                deliveredWhileHeld = true;
        }
    });
    std::thread worker([&] {
        auto codecs = LockCodecs();
        holding = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ActiveLogger()->Log(llError, QStringLiteral("under the codec lock"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        holding = false;
        codecs.unlock(); // delivers the line: waits for the main thread
        released = true;
    });
    while (!holding.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TFFEncoder encoder;
    TInputOptions in;
    InitInputOptions(in);
    EXPECT_GE(encoder.AddTask(testpaths::fixture("tone10.wav"), &in), 0);
    EXPECT_TRUE(PumpUntil([&] { return released.load(); }));
    worker.join();
    EXPECT_EQ(workerLines.load(), 1);
    EXPECT_FALSE(deliveredWhileHeld.load());
    logger.SetOnLog(nullptr);
}

} // namespace
