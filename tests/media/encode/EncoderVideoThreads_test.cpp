// The encoder component's video events against its threads: previews delivered to the main thread
// while the worker waits for them and the owner changes the preview settings, a stop asked for
// from inside a video hook, and the component destroyed while a video task is busy in its hooks.
#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/MyUtils.h"
#include "media/TBitmap.h"
#include "media/encode/component/TFFEncoder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using enginetest::PumpUntil;
using TReports = enginetest::TTerminateLog;

bool OnMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Frames ffprobe decodes from the first video stream; -1 when it cannot read the file.
int VideoFrames(const QString& file) {
    const enginetest::TCommandResult r = enginetest::RunTool(
        "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=nb_read_frames", "-of", "default=noprint_wrappers=1:nokey=1", file});
    bool ok = false;
    const int frames = r.Out.trimmed().toInt(&ok);
    return r.ExitCode == 0 && ok ? frames : -1;
}

class EncoderVideoThreads : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadEngineLibraries();
        ASSERT_TRUE(Dir.isValid());
    }

    QString Out(const QString& name) const { return Dir.filePath(name); }

    // 10 s of 640×480 test pictures to MPEG-4 at 320×240 without sound. realTime reads the input
    // at its own pace, so that the run lasts as long as the picture.
    void AddVideoTask(TFFEncoder& encoder, const QString& output, int64_t durationUs,
                      bool inputHook, bool outputHook, bool realTime) {
        TInputOptions in;
        InitInputOptions(in);
        const int index = encoder.AddTask(testpaths::fixture("testsrc10.avi"), &in);
        ASSERT_GE(index, 0) << encoder.LastErrorText().toStdString();
        TOutputOptions out;
        InitOutputOptions(out);
        out.VideoCodec = "mpeg4";
        out.FrameSize = "320x240";
        out.DisableAudio = true;
        out.VideoInputHook = inputHook;
        out.VideoOutputHook = outputHook;
        if (durationUs > 0)
            out.Duration = durationUs;
        if (realTime)
            out.ExtOptions = "re=1";
        ASSERT_TRUE(encoder.SetOutputFile(index, output, &out))
            << encoder.LastErrorText().toStdString();
    }

    QTemporaryDir Dir;
};

TEST_F(EncoderVideoThreads, PreviewsReachTheMainThreadWhileTheOwnerChangesThePreviewSettings) {
    TFFEncoder encoder;
    encoder.SetTriggerEventInMainThread(true);
    encoder.SetPreviewBitmap(true);
    TReports reports;
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) { reports.Add(i); });
    std::atomic<int> previews{0}, previewsOffMain{0}, badBitmaps{0};
    auto onPreview = [&](QObject*, const TPreviewInfo* info) {
        ++previews;
        if (!OnMainThread())
            ++previewsOffMain;
        if (info->Bitmap == nullptr || info->Bitmap->Format() != AV_PIX_FMT_RGB24 ||
            info->Bitmap->Width() != 320 || info->Bitmap->Height() != 240)
            ++badBitmaps;
    };
    encoder.SetOnPreviewBitmap(onPreview);
    std::atomic<int> hooks{0}, hooksOnMain{0};
    encoder.SetOnVideoOutputHook([&](QObject*, THookInfo* info) {
        ++hooks;
        if (OnMainThread())
            ++hooksOnMain;
        info->Update = false;
    });
    AddVideoTask(encoder, Out("preview.avi"), 2000000, false, true, true);
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return previews.load() >= 2; }));
    // The worker reads these at its next picture; the handler swap is a barrier.
    for (int i = 0; i < 20; ++i) {
        encoder.SetPreviewBitmap(i % 2 == 1);
        encoder.SetPreview(i % 3 == 0);
        PumpMessages();
    }
    encoder.SetPreviewBitmap(true);
    encoder.SetOnPreviewBitmap(nullptr);
    encoder.SetOnPreviewBitmap(onPreview);
    ASSERT_TRUE(PumpUntil([&] { return reports.HasFinalReport(); }));
    const auto events = reports.Snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].Info.Finished) << events[0].Info.ErrorText;
    EXPECT_EQ(previewsOffMain.load(), 0);
    EXPECT_EQ(badBitmaps.load(), 0);
    EXPECT_EQ(hooks.load(), 50);
    EXPECT_EQ(hooksOnMain.load(), 0);
    EXPECT_EQ(VideoFrames(Out("preview.avi")), 50);
}

TEST_F(EncoderVideoThreads, StopWithWaitingFromInsideAVideoHookReturnsAndEndsTheRunWithAWholeFile) {
    for (const bool threaded : {true, false}) {
        for (const bool input : {true, false}) {
            SCOPED_TRACE(std::string(threaded ? "threaded" : "in the caller") +
                         (input ? ", input hook" : ", output hook"));
            TFFEncoder encoder;
            TReports reports;
            encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) { reports.Add(i); });
            std::atomic<int> calls{0};
            std::atomic<bool> returned{false};
            auto hook = [&](QObject*, THookInfo*) {
                if (++calls == 5) {
                    // The worker calling us cannot end before we return: no waiting for it.
                    encoder.StopTasks(true);
                    returned = true;
                }
            };
            if (input)
                encoder.SetOnVideoInputHook(hook);
            else
                encoder.SetOnVideoOutputHook(hook);
            const QString out = Out(QString("stop-%1-%2.avi").arg(threaded).arg(input));
            AddVideoTask(encoder, out, -1, input, !input, false);
            encoder.StartTask(threaded ? 1 : 0);
            ASSERT_TRUE(PumpUntil([&] { return reports.HasFinalReport(); }));
            EXPECT_TRUE(returned.load());
            const auto events = reports.Snapshot();
            ASSERT_EQ(events.size(), 2u);
            EXPECT_FALSE(events[0].Info.Finished);
            EXPECT_FALSE(events[0].Info.Failed) << events[0].Info.ErrorText;
            // Stopped near the fifth picture, and what was written is a readable file.
            const int frames = VideoFrames(out);
            EXPECT_GE(frames, 4);
            EXPECT_LT(frames, 250);
            encoder.ClearTasks();
        }
    }
}

// Two tasks on two workers, each with an input and an output hook: one task's input handler and
// the other's output handler run at once, and each reads only its own task's record and bitmap
// (640x480 pictures in, 320x240 out) for as long as it runs.
TEST_F(EncoderVideoThreads, TwoWorkersWithBothHooksEachReadTheirOwnRecord) {
    TFFEncoder encoder;
    TReports reports;
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) { reports.Add(i); });
    std::atomic<int> calls{0}, mixed{0};
    auto check = [&](THookInfo* info, int width, int height) {
        ++calls;
        const int task = info->TaskIndex;
        TBitmap* const bitmap = info->Bitmap;
        for (int i = 0; i < 4; ++i) {
            if (info->TaskIndex != task || info->Bitmap != bitmap || bitmap->Width() != width ||
                bitmap->Height() != height)
                ++mixed;
            (void)bitmap->ConstBits()[i * bitmap->BytesPerLine() + i * 3];
            std::this_thread::yield();
        }
        info->Update = false;
    };
    encoder.SetOnVideoInputHook([&](QObject*, THookInfo* info) { check(info, 640, 480); });
    encoder.SetOnVideoOutputHook([&](QObject*, THookInfo* info) { check(info, 320, 240); });
    AddVideoTask(encoder, Out("first.avi"), 1000000, true, true, false);
    AddVideoTask(encoder, Out("second.avi"), 1000000, true, true, false);
    encoder.StartTask(2);
    ASSERT_TRUE(PumpUntil([&] { return reports.HasFinalReport(); }));
    const auto events = reports.Snapshot();
    ASSERT_EQ(events.size(), 3u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(events[i].Info.Finished) << events[i].Info.ErrorText;
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(calls.load(), 2 * 2 * 25);
    EXPECT_EQ(VideoFrames(Out("first.avi")), 25);
    EXPECT_EQ(VideoFrames(Out("second.avi")), 25);
}

TEST_F(EncoderVideoThreads, DestroyedWhileAVideoTaskIsInItsHooksAndPreviewsRaisesNothingMore) {
    auto encoder = std::make_unique<TFFEncoder>();
    encoder->SetTriggerEventInMainThread(true);
    encoder->SetPreviewBitmap(true);
    std::atomic<int> reports{0}, hooks{0}, previews{0};
    encoder->SetOnTerminate([&](QObject*, const TTerminateInfo&) { ++reports; });
    encoder->SetOnPreviewBitmap([&](QObject*, const TPreviewInfo*) { ++previews; });
    encoder->SetOnVideoInputHook([&](QObject*, THookInfo* info) {
        ++hooks;
        std::fill_n(info->Bitmap->Bits(), info->Bitmap->SizeInBytes(), uint8_t(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    AddVideoTask(*encoder, Out("gone.avi"), -1, true, false, false);
    AddVideoTask(*encoder, Out("never.avi"), -1, true, false, false);
    encoder->StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return hooks.load() >= 10 && previews.load() >= 1; }));
    encoder.reset();
    const int hooksAtEnd = hooks.load(), previewsAtEnd = previews.load();
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(hooks.load(), hooksAtEnd);
    EXPECT_EQ(previews.load(), previewsAtEnd);
    EXPECT_EQ(reports.load(), 0);
    EXPECT_GT(VideoFrames(Out("gone.avi")), 0);
    EXPECT_FALSE(QFileInfo::exists(Out("never.avi")));
}

} // namespace
