// The run life cycle of the engine: Start, Run, Stop, Terminate, DoTerminate and ResetOptions.

#include "media/MyUtils.h"
#include "media/encode/FFLoop.h"
#include "media/encode/FFLoopRunState.h"
#include "media/encode/FFLoopSupport.h"
#include "media/encode/FFPrepare.h"
#include "media/encode/TCustomFFmpeg.h"

#include <exception>

using namespace ffstage;

TFFRunState& RunStateOf(std::shared_ptr<TFFRunState>& run) {
    if (!run)
        run = std::make_shared<TFFRunState>();
    return *run;
}

namespace {

// In 20 ms slices; on the main thread its pending calls run in between, so a worker that is
// delivering an event to the main thread can finish.
void WaitPumping(TFFLoopEvent& e) {
    while (!e.Wait(20)) {
        if (IsMainThread())
            PumpMessages();
    }
}

} // namespace

void TCustomFFmpeg::ResetOptions() {
    FreeFiles();
    InitOptions();
    FRunning = FTerminated = FFinished = FFailed = false;
    FErrorText.clear();
    FStopRequested = false;
    TFFRunState& run = RunStateOf(FRun);
    run.Running = false;
    run.Terminated = false;
}

TConvertThread* TCustomFFmpeg::Start(bool inThread, int priority) {
    TFFRunState& run = RunStateOf(FRun);
    if (run.Running || run.Terminated)
        return nullptr;
    const char* missing = FOutputFiles.empty()  ? "At least one output file must be specified"
                          : FInputFiles.empty() ? "At least one input file must be specified"
                                                : nullptr;
    if (missing) {
        FreeFiles();
        Log(TStageLog::Quiet, QString::fromLatin1(missing));
        FFailed = true;
        FErrorText = missing;
        DoTerminate();
        return nullptr;
    }
    run.Running = true;
    FRunning = true;
    FStopRequested = false;
    FFinished = false;
    FTerminated = false;
    if (inThread) {
        run.Worker = std::make_unique<TConvertThread>(*this, run.RunFinished, priority);
        return run.Worker.get();
    }
    Run();
    return nullptr;
}

void TCustomFFmpeg::Run() {
    TFFRunState& run = RunStateOf(FRun);
    FFinished = false;
    auto fail = [this](const std::exception& e) {
        Log(TStageLog::Quiet, QString::fromLocal8Bit(e.what()));
        FFailed = true;
        FErrorText = e.what();
    };
    // Each step is guarded on its own: whatever fails, the codecs are closed, the files freed
    // and the owner told.
    try {
        TFFLoopCallbacks callbacks;
        if (OnAudioHookCallback)
            callbacks.AudioHook = [this](int64_t pts, uint8_t* samples, int size, int rate,
                                         int channels, int format) {
                OnAudioHookCallback(this, pts, samples, size, rate, channels, format);
            };
        if (OnProgressCallback)
            callbacks.Progress = [this](int file, int64_t total, int64_t now, int64_t size,
                                        float bitRate, float quality, int fps, int frame) {
                OnProgressCallback(this, file, total, now, size, bitRate, quality, fps, frame);
            };
        TFFLoop loop(FOpt, FOptCtx, FInputFiles, FInputCodecs, FOutputFiles, run.Outputs, FJoinMode,
                     callbacks, FStopRequested, ProgressInterval, run.Tables);
        loop.SkipBeforePreroll = run.SkipBeforePreroll;
        loop.Transcode();
        FFinished = !FStopRequested;
    } catch (const std::exception& e) {
        fail(e);
    }
    try {
        TFFPrepare::CloseCodecs(run.Outputs, run.Tables);
        run.Tables = TFFStreamTables();
    } catch (const std::exception& e) {
        fail(e);
    }
    try {
        run.DiscardOutputs = FFailed;
        FreeFiles();
        run.DiscardOutputs = false;
    } catch (const std::exception& e) {
        fail(e);
    }
    try {
        DoTerminate();
    } catch (const std::exception& e) {
        fail(e);
    }
}

void TCustomFFmpeg::Stop(bool wait) {
    FStopRequested = true;
    if (!FRun)
        return;
    TFFRunState& run = *FRun;
    if (run.Worker && !run.Worker->Started())
        run.Worker->Resume();
    if (wait && run.Worker) {
        WaitPumping(run.RunFinished);
        run.Worker->Join();
    }
    if (wait && run.Notifier) {
        WaitPumping(run.TerminateNotified);
        run.Notifier.reset();
    }
}

void TCustomFFmpeg::Terminate(bool wait) {
    TFFRunState& run = RunStateOf(FRun);
    if (run.Running) {
        Stop(wait);
    } else if (!run.Terminated && !run.Notifier) {
        run.Notifier = std::make_unique<TDoTerminateThread>(*this, run.TerminateNotified);
        if (wait)
            WaitPumping(run.TerminateNotified);
    }
}

void TCustomFFmpeg::DoTerminate() {
    TFFRunState& run = RunStateOf(FRun);
    FRunning = false;
    FTerminated = true;
    run.Running = false;
    run.Terminated = true;
    if (OnTerminateCallback)
        OnTerminateCallback(this);
}
