#pragma once
// The encoder component: what the owner sees of the transcoding engine. It keeps a list of
// tasks, one engine (TFFmpeg) each, turns the owner's option records into engine options, runs
// the tasks and turns the engine's callbacks into the component's events.
//
// Threads and their owners:
//   - The owner's thread (the main thread) calls every operation: AddTask, SetOutputFile,
//     RemoveTask, ClearTasks, StartTask, StopTasks.
//   - StartTask(n > 0) runs up to n tasks at once, each on its engine's worker thread
//     (TConvertThread, owned by the engine). When a task ends, its worker starts the next
//     waiting task. StartTask(n <= 0) runs every task in the caller, one after another, and
//     raises every event there, the final report included, before it returns.
//   - OnProgress and OnPreviewBitmap reach the owner in the main thread when
//     TriggerEventInMainThread is set (the worker waits for the handler), else on the worker.
//   - OnAudioHook and the video hooks run on the worker.
//   - In a threaded run OnTerminate runs on the component's notification thread
//     (ffencode::TTerminateNotifier), in the order the tasks ended, the final report last.
//   - Engines that are stopped before they ran report from a short thread of their engine's
//     (TDoTerminateThread) in a threaded run, and in the caller otherwise.
//
// Rules the threads keep:
//   - Every thread has one owner that starts it; whoever stops it first joins it, and a second
//     stop from any thread returns once the first has finished. A stop with waiting from inside
//     one of our handlers never waits for the worker that is waiting for that handler.
//   - No lock is held while a thread waits for the main thread or logs. Handlers run outside
//     every lock of ours; the handler gates only count calls.
//   - Setting a handler is a barrier (THandlerGate): once SetOnX returns, no call of the old
//     handler is running on another thread or will start.
//   - A handler that throws is logged; the run goes on and its end is reported all the same.
//   - Destruction forgets the handlers, starts nothing more, stops and joins every worker, then
//     stops the notification thread.
//
// The run state (counters, flags) is written under FRunLock by whichever thread ends a task;
// the task list itself only changes on the owner's thread while no run is going.

#include "media/FFBaseComponent.h"
#include "media/THandlerGate.h"
#include "media/encode/component/FFEncoderOptions.h"
#include "media/encode/component/TTerminateNotifier.h"
#include "media/encode/video/FFVideoHooks.h"

#include <QString>

#include <array>
#include <atomic>
#include <functional>
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
    // A further input of a task, opened as AddTask opens the first; false with LastErrorText().
    bool AddTaskInput(int taskIndex, const QString& fileName, TInputOptions* options = nullptr);
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
    // Makes the window that Preview shows pictures in (a Qt window of the application, which
    // paints on the main thread); without one Preview shows nothing. Set before AddTask.
    void SetPreviewerFactory(TPreviewSinkFactory factory) {
        FPreviewerFactory = std::move(factory);
    }
    int ProgressInterval() const { return FProgressInterval; }
    void SetProgressInterval(int ms);
    int ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(int priority) { FThreadPriority = priority; }

    // Event handlers. Each setter returns once no call of the previous handler is running on
    // another thread; none starts afterwards.
    void SetOnAudioHook(TAudioHookEvent handler) { FOnAudioHook.Set(std::move(handler)); }
    void SetOnVideoInputHook(TVideoHookEvent handler) { FOnVideoInputHook.Set(std::move(handler)); }
    void SetOnVideoOutputHook(TVideoHookEvent handler) {
        FOnVideoOutputHook.Set(std::move(handler));
    }
    void SetOnPreviewBitmap(TPreviewBitmapEvent handler) {
        FOnPreviewBitmap.Set(std::move(handler));
    }
    void SetOnProgress(TProgressEvent handler) { FOnProgress.Set(std::move(handler)); }
    void SetOnTerminate(TTerminateEvent handler) { FOnTerminate.Set(std::move(handler)); }

protected:
    // The engine's callbacks land here, on the thread of the engine's run.
    virtual void DoVideoInputHook(TCustomFFmpeg* sender, THookInfo& info);
    virtual void DoVideoOutputHook(TCustomFFmpeg* sender, THookInfo& info);
    virtual void DoPreviewBitmap(TCustomFFmpeg* sender, const TPreviewInfo& info);
    // Runs raise in the main thread when the events are to come there, else here; a handler
    // that throws is logged under the event's name.
    void RaiseWhereAsked(const char* event, const std::function<void()>& raise);
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
    // Applies an input's options to the task's engine and opens the file as its next input;
    // false with LastErrorText set when it cannot.
    bool OpenTaskInput(TTask& task, const QString& fileName, TInputOptions* options);
    static int PreviewFlagsOf(bool preview, bool previewBitmap);
    void ApplyOutputOptions(TFFmpeg& engine, const TOutputOptions& options);
    void ApplyStreamInfo(TFFmpeg& engine, const TStreamInfo& info);
    // The task index of an engine. Workers call it too: the list changes only while no worker
    // runs (FreeTasks stops them all before it frees anything).
    int TaskIndexOf(const TCustomFFmpeg* engine) const;
    // The hook record of the task an engine runs; fallback for an engine of no task.
    THookInfo& HookRecordOf(const TCustomFFmpeg* sender, THookInfo& fallback);
    // Takes the next waiting task of the run, or nullptr when none may start. Caller holds
    // FRunLock.
    TFFmpeg* TakeNextLocked();
    // Starts an engine taken with TakeNextLocked; no lock held.
    void StartEngine(TFFmpeg& engine);
    // Raises OnTerminate for info where the run's mode says: queued for the notification
    // thread, or at once in the caller. Caller holds FRunLock (posting never waits); with
    // direct delivery it returns true and the caller raises it after letting the lock go.
    bool QueueTerminateLocked(const TTerminateInfo& info);
    // Calls the handler with info; a handler's exception is logged.
    void RaiseTerminate(const TTerminateInfo& info);
    // Stops the engines' workers and forgets the tasks; used by ClearTasks and destruction.
    void FreeTasks();

    THandlerGate<TAudioHookEvent> FOnAudioHook;
    THandlerGate<TVideoHookEvent> FOnVideoInputHook;
    THandlerGate<TVideoHookEvent> FOnVideoOutputHook;
    THandlerGate<TPreviewBitmapEvent> FOnPreviewBitmap;
    THandlerGate<TProgressEvent> FOnProgress;
    THandlerGate<TTerminateEvent> FOnTerminate;

    bool FPreview = false;
    bool FPreviewBitmap = false;
    TPreviewSinkFactory FPreviewerFactory;
    std::atomic<int> FProgressInterval{500}; // ms
    int FThreadPriority = 0;                 // the engine's worker priority; 0 = normal
    int FVerbose = 1;                        // verbosity handed to each new engine

    // Filled right before their event, inside the event's gate (one call at a time).
    TProgressInfo FProgressInfo;
    TTerminateInfo FTerminateInfo;
    TPreviewInfo FPreviewInfo;

    // Guards the run counters and flags below, FWalking and FFreeing. Held only to read and
    // write them and to queue a report: never while starting an engine, raising an event or
    // waiting.
    mutable std::mutex FRunLock;
    int FTerminatedCount = 0;          // tasks that reported in this run
    int FNextTask = -1;                // index of the next task to start; -1 before the first run
    int FRemaining = 0;                // tasks not yet started in this run
    int FRunTaskCount = 0;             // tasks of this run
    bool FAllFinished = false;         // the final report of the run was raised
    bool FThreaded = false;            // this run uses worker threads
    bool FShutDown = false;            // destruction has begun: nothing starts any more
    std::atomic<bool> FWorking{false}; // set by StartTask, cleared only by ClearTasks

    // StopTasks may run on any thread (a handler's) and its waits run main-thread calls: while
    // it walks the list, owner code must not change it, and the list being freed is not walked.
    int FWalking = 0;      // StopTasks calls walking FTasks
    bool FFreeing = false; // FreeTasks is stopping and freeing FTasks

    std::vector<std::unique_ptr<TTask>> FTasks; // index = task index; changed by the owner only

    // Last member: destroyed (stopped and joined) first, while everything it delivers to is whole.
    ffencode::TTerminateNotifier FNotifier;
};
