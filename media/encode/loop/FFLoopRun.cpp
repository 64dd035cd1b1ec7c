// The run life cycle of the engine: Start, Run, Stop, Terminate, DoTerminate and ResetOptions.

#include "media/MyUtils.h"
#include "media/encode/loop/FFLoop.h"
#include "media/encode/loop/FFLoopRunState.h"
#include "media/encode/loop/FFLoopSupport.h"
#include "media/encode/prepare/FFPrepare.h"
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
void WaitForEvent(TFFLoopEvent& e) {
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
    std::lock_guard<std::mutex> lock(run.StateLock);
    run.Claimed = false;
}

TConvertThread* TCustomFFmpeg::Start(bool inThread, int priority) {
    TFFRunState& run = RunStateOf(FRun);
    const char* missing = nullptr;
    TConvertThread* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(run.StateLock);
        if (run.Claimed)
            return nullptr;
        run.Claimed = true;
        missing = FOutputFiles.empty()  ? "At least one output file must be specified"
                  : FInputFiles.empty() ? "At least one input file must be specified"
                                        : nullptr;
        if (!missing) {
            run.Running = true;
            FRunning = true;
            FStopRequested = false;
            FFinished = false;
            FTerminated = false;
            if (inThread) {
                run.Worker = std::make_unique<TConvertThread>([this] { Run(); }, run.RunFinished,
                                                              priority);
                worker = run.Worker.get();
            }
        }
    }
    if (missing) {
        FreeFiles();
        Log(TStageLog::Quiet, QString::fromLatin1(missing));
        FFailed = true;
        FErrorText = missing;
        DoTerminate();
        return nullptr;
    }
    if (!inThread)
        Run();
    return worker;
}

void TCustomFFmpeg::Run() {
    TFFRunState& run = RunStateOf(FRun);
    FFinished = false;
    // Whatever a step or a handler throws, the codecs are closed, the files freed and the
    // owner told, in that order.
    struct TEndOfRun {
        TCustomFFmpeg& Engine;
        ~TEndOfRun() { Engine.EndRun(); }
    } end{*this};
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
        if (OnVideoInputHookCallback)
            callbacks.Video.InputHook = [this](TBitmap& bitmap, bool& stop, bool& update,
                                               int64_t pts, int frame) {
                OnVideoInputHookCallback(this, bitmap, stop, update, pts, frame);
            };
        if (OnVideoOutputHookCallback)
            callbacks.Video.OutputHook = [this](TBitmap& bitmap, bool& stop, bool& update,
                                                int64_t pts, int frame) {
                OnVideoOutputHookCallback(this, bitmap, stop, update, pts, frame);
            };
        if (OnPreviewBitmapCallback)
            callbacks.Video.PreviewBitmap = [this](TBitmap& bitmap, int64_t pts, int frame) {
                OnPreviewBitmapCallback(this, bitmap, pts, frame);
            };
        callbacks.Video.PreviewWindow = PreviewWindowFactory;
        callbacks.Preview = &FPreviewControl;
        callbacks.FrameHooks = &FFrameHooks;
        TFFLoop loop(FOpt, FOptCtx, FInputFiles, FInputCodecs, FOutputFiles, run.Outputs, FJoinMode,
                     callbacks, FStopRequested, ProgressInterval, run.Tables);
        loop.SkipBeforePreroll = run.SkipBeforePreroll;
        loop.EncodeOnOwnThread = run.EncodeOnOwnThread;
        struct TNoteThread {
            TFFLoop& Loop;
            TFFRunState& Run;
            ~TNoteThread() { Run.UsedEncoderThread = Loop.UsedEncoderThread(); }
        } note{loop, run};
        loop.Transcode();
        FFinished = !FStopRequested;
    } catch (const std::exception& e) {
        RunFailed(e.what());
    } catch (...) {
        RunFailed("Unknown error");
    }
}

void TCustomFFmpeg::RunFailed(const char* what) noexcept {
    // Also after the loop finished: an output that could not be put in place fails the run.
    FFinished = false;
    FFailed = true;
    try {
        FErrorText = what;
        Log(TStageLog::Quiet, QString::fromLocal8Bit(what));
    } catch (...) {
    }
}

void TCustomFFmpeg::EndRun() noexcept {
    TFFRunState& run = RunStateOf(FRun);
    try {
        TFFPrepare::CloseCodecs(run.Outputs, run.Tables);
        run.Tables = TFFStreamTables();
    } catch (const std::exception& e) {
        RunFailed(e.what());
    } catch (...) {
        RunFailed("Unknown error");
    }
    try {
        run.DiscardOutputs = FFailed;
        FreeFiles();
    } catch (const std::exception& e) {
        RunFailed(e.what());
    } catch (...) {
        RunFailed("Unknown error");
    }
    run.DiscardOutputs = false;
    try {
        DoTerminate();
    } catch (...) {
        // the owner's handlers are guarded where they are called
    }
}

void TCustomFFmpeg::Stop(bool wait) {
    FStopRequested = true;
    TFFRunState& run = RunStateOf(FRun);
    TConvertThread* worker;
    TDoTerminateThread* notifier;
    {
        std::lock_guard<std::mutex> lock(run.StateLock);
        worker = run.Worker.get();
        notifier = run.Notifier.get();
    }
    // A worker never resumed still has to run, to see the stop and report its end.
    if (worker)
        worker->Resume();
    if (!wait)
        return;
    // Never on the thread being waited for: a handler called on the worker may stop its own task.
    if (worker && !worker->IsCurrentThread()) {
        WaitForEvent(run.RunFinished);
        worker->Join();
    }
    if (notifier && !notifier->IsCurrentThread()) {
        WaitForEvent(run.TerminateNotified);
        notifier->Join();
    }
}

void TCustomFFmpeg::Terminate(bool wait) {
    TFFRunState& run = RunStateOf(FRun);
    {
        std::lock_guard<std::mutex> lock(run.StateLock);
        if (!run.Claimed) {
            run.Claimed = true;
            run.Notifier = std::make_unique<TDoTerminateThread>([this] { DoTerminate(); },
                                                                  run.TerminateNotified);
        }
    }
    Stop(wait);
}

bool TCustomFFmpeg::TerminateHere() {
    TFFRunState& run = RunStateOf(FRun);
    {
        std::lock_guard<std::mutex> lock(run.StateLock);
        if (run.Claimed)
            return false;
        run.Claimed = true;
    }
    DoTerminate();
    return true;
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
