#pragma once
// The transcoding pipeline of one engine task and its run life cycle.
//
// Threads: inputs and outputs are opened on the caller's thread (the main thread). Start runs
// the task either in the caller or on a TConvertThread that the caller resumes; the run
// (preparation, loop, flush, trailers) happens entirely on that one thread, which also calls the
// audio hook, the progress callback and the terminate callback. Another thread only calls Stop
// or Terminate, which set the stop flag and may wait for the run-finished event; a wait on the
// main thread keeps pumping its pending calls so a worker delivering an event there cannot
// deadlock against it. Terminate on an engine that never ran reports through a short-lived
// TDoTerminateThread. The engine owns both threads and joins them before it is destroyed.

#include "media/encode/FFInputFile.h"
#include "media/encode/FFLoopEvent.h"
#include "media/encode/FFLoopSettings.h"
#include "media/encode/FFOutputFile.h"
#include "media/encode/FFPrepareStreams.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class TConvertThread;
class TDoTerminateThread;

class TFFLoopCore {
public:
    TFFLoopCore();
    virtual ~TFFLoopCore();
    TFFLoopCore(const TFFLoopCore&) = delete;
    TFFLoopCore& operator=(const TFFLoopCore&) = delete;

    // Option values the stages read; written by the option stage between runs only.
    TFFLoopSettings Settings;
    // Assigned before Start; called on the run's thread.
    TFFLoopCallbacks Callbacks;
    int64_t ProgressInterval = 500000; // µs between progress reports

    // Opens an input (true) or leaves the message in LastErrorText (false). May raise the
    // engine exception for the failures the option values make.
    bool OpenInputFile(const QString& fileName);
    // Number of outputs now held, or -1 with LastErrorText.
    int OpenOutputFile(const QString& fileName, bool join);
    // Further streams on the last output ("newaudio" ...); raise the engine exception.
    void NewAudioStream();
    void NewVideoStream();
    void NewSubtitleStream();

    int InputCount() const { return int(FInputs.size()); }
    int OutputCount() const { return int(FOutputs.size()); }
    // µs added to every packet timestamp of input i (minus the seek position after an
    // input-side start).
    int64_t InputTsOffset(int i) const { return FInputs.at(size_t(i))->TsOffset; }

    // Starts a run. InThread: returns the suspended worker for the caller to Resume; else runs
    // to the end in the caller and returns null. Null without effect while running or after
    // termination; null after reporting the failure when no input or output exists.
    TConvertThread* Start(bool inThread, int priority = 0);
    // The run itself: transcode, close the codecs left open, free the files, DoTerminate.
    void Run();
    // Asks a running run to end at the next packet; with wait, returns when it has ended.
    void Stop(bool wait);
    // Stops a running run, or reports termination of one that never ran.
    void Terminate(bool wait);
    // Marks the engine terminated and raises the terminate callback.
    void DoTerminate();
    // Closes inputs and outputs; outputs left empty are deleted, and so are all outputs when
    // discardOutputs is set.
    void FreeFiles(bool discardOutputs = false);

    bool Running() const { return FRunning; }
    bool Terminated() const { return FTerminated; }
    bool Finished() const { return FFinished; }
    bool Failed() const { return FFailed; }
    std::string ErrorText() const;
    std::string LastErrorText;

    // Off only to compare against decoding every packet (tests, benchmarks).
    bool SkipBeforePreroll = true;

private:
    void Fail(const std::string& msg);
    void WaitFor(TFFLoopEvent& e, bool withTimeoutSlices);

    TFFInputList FInputs;
    TFFOutputList FOutputs;
    bool FJoinMode = false;
    TFFStreamTables FTables;

    std::atomic<bool> FRunning{false};
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFailed{false};
    mutable std::mutex FErrorLock; // guards FErrorText, written by the run's thread
    std::string FErrorText;

    TFFLoopEvent FRunFinished;       // reset while a worker runs
    TFFLoopEvent FTerminateNotified; // reset while a TDoTerminateThread reports
    std::unique_ptr<TConvertThread> FWorker;
    std::unique_ptr<TDoTerminateThread> FNotifier;
};
