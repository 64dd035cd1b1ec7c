#include "media/encode/FFLoopCore.h"

#include "media/MyUtils.h"
#include "media/encode/FFLoop.h"
#include "media/encode/FFOutputOpener.h"
#include "media/encode/FFPrepare.h"
#include "media/encode/TConvertThread.h"
#include "media/encode/TDoTerminateThread.h"

#include <exception>

using namespace ffstage;

TFFLoopCore::TFFLoopCore() = default;

TFFLoopCore::~TFFLoopCore() {
    if (FRunning)
        Stop(true);
    FWorker.reset();   // joins
    FNotifier.reset(); // joins
    FTables = TFFStreamTables();
    FreeFiles();
}

bool TFFLoopCore::OpenInputFile(const QString& fileName) {
    return TFFInputOpener::Open(Settings, fileName, FInputs, LastErrorText);
}

int TFFLoopCore::OpenOutputFile(const QString& fileName, bool join) {
    try {
        return TFFOutputOpener::Open(Settings, fileName, join, FInputs, FOutputs, FJoinMode,
                                     LastErrorText);
    } catch (const std::exception& e) {
        LastErrorText = e.what();
        return -1;
    }
}

void TFFLoopCore::NewAudioStream() {
    if (FOutputs.empty())
        Raise(std::string("At least one output file must be specified"));
    TFFOutputOpener::NewAudioStream(Settings, *FOutputs.back());
}

void TFFLoopCore::NewVideoStream() {
    if (FOutputs.empty())
        Raise(std::string("At least one output file must be specified"));
    TFFOutputOpener::NewVideoStream(Settings, *FOutputs.back());
}

void TFFLoopCore::NewSubtitleStream() {
    if (FOutputs.empty())
        Raise(std::string("At least one output file must be specified"));
    TFFOutputOpener::NewSubtitleStream(Settings, *FOutputs.back());
}

std::string TFFLoopCore::ErrorText() const {
    std::lock_guard<std::mutex> lock(FErrorLock);
    return FErrorText;
}

void TFFLoopCore::Fail(const std::string& msg) {
    Log(TStageLog::Quiet, QString::fromLocal8Bit(msg.c_str()));
    {
        std::lock_guard<std::mutex> lock(FErrorLock);
        FErrorText = msg;
    }
    FFailed = true;
}

TConvertThread* TFFLoopCore::Start(bool inThread, int priority) {
    if (FRunning || FTerminated)
        return nullptr;
    const char* missing = FOutputs.empty()  ? "At least one output file must be specified"
                          : FInputs.empty() ? "At least one input file must be specified"
                                            : nullptr;
    if (missing) {
        FreeFiles();
        Fail(missing);
        DoTerminate();
        return nullptr;
    }
    FRunning = true;
    FStopRequested = false;
    FFinished = false;
    FTerminated = false;
    if (inThread) {
        FWorker = std::make_unique<TConvertThread>(*this, FRunFinished, priority);
        return FWorker.get();
    }
    Run();
    return nullptr;
}

void TFFLoopCore::Run() {
    FFinished = false;
    // Each step is guarded on its own: whatever fails, the codecs are closed, the files freed
    // and the owner told.
    try {
        TFFLoop loop(Settings, FInputs, FOutputs, FJoinMode, Callbacks, FStopRequested,
                     ProgressInterval, FTables);
        loop.SkipBeforePreroll = SkipBeforePreroll;
        loop.Transcode();
        FFinished = !FStopRequested;
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    try {
        TFFPrepare::CloseCodecs(FOutputs, FTables);
        FTables = TFFStreamTables();
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    try {
        FreeFiles(FFailed);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    try {
        DoTerminate();
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}

void TFFLoopCore::WaitFor(TFFLoopEvent& e, bool withTimeoutSlices) {
    (void)withTimeoutSlices;
    // In 20 ms slices; on the main thread its pending calls run in between, so a worker that
    // is delivering an event to the main thread can finish.
    while (!e.Wait(20)) {
        if (IsMainThread())
            PumpMessages();
    }
}

void TFFLoopCore::Stop(bool wait) {
    FStopRequested = true;
    if (FWorker && !FWorker->Started())
        FWorker->Resume();
    if (wait && FWorker) {
        WaitFor(FRunFinished, true);
        FWorker->Join();
    }
}

void TFFLoopCore::Terminate(bool wait) {
    if (FRunning) {
        Stop(wait);
    } else if (!FTerminated && !FNotifier) {
        FNotifier = std::make_unique<TDoTerminateThread>(*this, FTerminateNotified);
        if (wait)
            WaitFor(FTerminateNotified, false);
    }
}

void TFFLoopCore::DoTerminate() {
    FRunning = false;
    FTerminated = true;
    if (Callbacks.Terminate)
        Callbacks.Terminate();
}

void TFFLoopCore::FreeFiles(bool discardOutputs) {
    for (auto& out : FOutputs)
        out->Close(discardOutputs);
    FOutputs.clear();
    FInputs.clear();
    FJoinMode = false;
}
