#pragma once
// The encoder component: what the owner sees of the transcoding engine. It keeps a list of
// tasks, one engine (TFFmpeg) each, turns the owner's option records into engine options, runs
// the tasks and turns the engine's callbacks into the component's events.
//
// Threads:
//   - The owner's thread (the main thread) calls every operation: AddTask, SetOutputFile,
//     RemoveTask, ClearTasks, StartTask, StopTasks.
//   - StartTask(n > 0) runs up to n tasks at once, each on its engine's worker thread
//     (TConvertThread, started and freed by the engine). When a task ends, its worker starts
//     the next waiting task. StartTask(n <= 0) runs every task in the caller, one after another.
//   - OnProgress and OnPreviewBitmap reach the owner in the main thread when
//     TriggerEventInMainThread is set (the worker waits for the handler), else on the worker.
//   - OnAudioHook and the video hooks run on the worker, one call at a time.
//   - In a threaded run OnTerminate runs on a short-lived notification thread
//     (ffencode::TDoTerminateThread); the final report (TaskIndex -1) waits for the last task's
//     notification. In a run without threads the events come in the caller.
// Each event family has a lock of its own, held while its event is raised.
//
// The run state (counters, flags) is written under the termination lock by whichever thread
// ends a task; the task list itself only changes on the owner's thread while no run is going.

#include "media/FFBaseComponent.h"
#include "media/encode/FFEncodeTerminateThread.h"
#include "media/encode/FFEncoderOptions.h"

#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TCustomFFmpeg;
class TFFmpeg;
class TFFDecoder;

class TCustomEncoder : public TFFBaseComponent {
    Q_OBJECT
public:
    explicit TCustomEncoder(QObject* parent = nullptr);
    ~TCustomEncoder() override;

    // A task for fileName with its input opened: the task index, or -1 with LastErrorText().
    // options may be nullptr; its FileName is filled when empty. Throws std::logic_error
    // "Cannot AddTask while working." during a run and until ClearTasks.
    int AddTask(const QString& fileName, TInputOptions* options = nullptr);
    // Adds an output file to a task; false with LastErrorText() when it cannot be created or an
    // option is rejected. options may be nullptr; its FileName is filled when empty.
    bool SetOutputFile(int taskIndex, const QString& fileName, TOutputOptions* options = nullptr);
    int TaskCount() const { return int(FTasks.size()); }
    // The probe of a task's input file, looking at the context the task opened; nullptr for an
    // unknown task or input. Its file is forgotten once the task's run has closed its files.
    TFFDecoder* TaskInputProbe(int taskIndex, int inputIndex) const;
    void RemoveTask(int taskIndex);
    // Frees every task and ends the working state; refused while a run has not yet ended.
    void ClearTasks();
    // maxThreads > 0: up to that many tasks at once on worker threads, returning at once;
    // otherwise every task in the caller, returning after the last event.
    void StartTask(int maxThreads);
    // Starts no further task and stops the running ones; with wait, returns when they stopped.
    void StopTasks(bool wait);

    // Whether StartTask was called since the last ClearTasks.
    bool Working() const { return FWorking.load(); }

    bool Preview() const { return FPreview; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return FPreviewBitmap; }
    void SetPreviewBitmap(bool value);
    // Milliseconds between progress reports; at least 100.
    int ProgressInterval() const { return FProgressInterval; }
    void SetProgressInterval(int ms);
    int ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(int priority) { FThreadPriority = priority; }

    // Event handlers. Each setter waits until an event of its family being raised has
    // returned, so a handler can be detached safely while a run goes on.
    void SetOnAudioHook(TAudioHookEvent handler);
    void SetOnVideoInputHook(TVideoHookEvent handler);
    void SetOnVideoOutputHook(TVideoHookEvent handler);
    void SetOnPreviewBitmap(TPreviewBitmapEvent handler);
    void SetOnProgress(TProgressEvent handler);
    void SetOnTerminate(TTerminateEvent handler);

protected:
    // The engine's callbacks land here, on the thread of the engine's run.
    virtual void DoVideoInputHook(TCustomFFmpeg* sender, THookInfo& info);
    virtual void DoVideoOutputHook(TCustomFFmpeg* sender, THookInfo& info);
    virtual void DoPreviewBitmap(TCustomFFmpeg* sender, const TPreviewInfo& info);
    virtual void DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                            int64_t currentTime, int64_t totalSize, float bitRate, float quality,
                            int fps, int frameNumber);
    // sender nullptr raises the final report of the run.
    virtual void DoTerminate(TCustomFFmpeg* sender);
    void DoAudioHook(TCustomFFmpeg* sender, int64_t pts, void* samples, int size, int sampleRate,
                     int channels, int sampleFormat);
    // The destruction steps: handlers forgotten, engines stopped and joined, notifications let
    // finish. Safe to call twice. The most derived destructor calls it first, so no worker
    // still dispatches through the virtual Do* functions while a base destructor runs.
    void Shutdown();

private:
    struct TTask;

    void CheckNotWorking(const char* action) const;
    int TaskIndexOf(const TCustomFFmpeg* engine) const;
    void ApplyOutputOptions(TFFmpeg& engine, const TOutputOptions& options);
    void ApplyStreamInfo(TFFmpeg& engine, const TStreamInfo& info);
    // Starts Tasks[NextTask] when tasks remain. Caller holds FTerminateLock in threaded runs.
    void StartNext();
    // Caller holds FTerminateLock.
    void RaiseFinalReport();
    // Stops the engines' workers and forgets the tasks; used by ClearTasks and destruction.
    void FreeTasks();

    TAudioHookEvent FOnAudioHook;         // guarded by FAudioHookLock
    TVideoHookEvent FOnVideoInputHook;    // guarded by FVideoHookLock
    TVideoHookEvent FOnVideoOutputHook;   // guarded by FVideoHookLock
    TPreviewBitmapEvent FOnPreviewBitmap; // guarded by FPreviewLock
    TProgressEvent FOnProgress;           // guarded by FProgressLock
    TTerminateEvent FOnTerminate;         // guarded by FTerminateLock

    bool FPreview = false;
    bool FPreviewBitmap = false;
    int FProgressInterval = 500; // ms
    int FThreadPriority = 0;     // the engine's worker priority; 0 = normal
    int FVerbose = 1;            // verbosity handed to each new engine

    TProgressInfo FProgressInfo;   // guarded by FProgressLock
    TTerminateInfo FTerminateInfo; // guarded by FTerminateLock
    TPreviewInfo FPreviewInfo;     // guarded by FPreviewLock
    THookInfo FHookInfo;           // guarded by FVideoHookLock

    // Recursive: an engine may report its end on the very thread that is starting it, which
    // then already holds the termination lock.
    using TLock = std::recursive_mutex;
    TLock FAudioHookLock; // OnAudioHook; one call at a time
    TLock FPreviewLock;   // OnPreviewBitmap, FPreviewInfo; one call at a time
    TLock FProgressLock;  // OnProgress, FProgressInfo; one call at a time
    TLock FTerminateLock; // OnTerminate, FTerminateInfo, the run counters and flags below
    TLock FVideoHookLock; // OnVideoInputHook, OnVideoOutputHook, FHookInfo

    // Delivered is false while a task's OnTerminate is on its notification thread.
    std::shared_ptr<ffencode::TTerminateDelivery> FDelivery;

    std::vector<std::unique_ptr<TTask>> FTasks; // index = task index; owner's thread only
    int FTerminatedCount = 0;                   // tasks that reported in this run
    int FNextTask = -1;                // index of the next task to start; -1 before the first run
    int FRemaining = 0;                // tasks not yet started in this run
    bool FAllFinished = false;         // the final report of the run was raised
    bool FThreaded = false;            // this run uses worker threads
    std::atomic<bool> FWorking{false}; // set by StartTask, cleared only by ClearTasks
};
