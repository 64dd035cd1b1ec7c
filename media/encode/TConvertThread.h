#pragma once
// The worker thread of a threaded run. It is created suspended by the engine's Start, so the
// caller can finish its own bookkeeping before the run begins, and is started by Resume. It
// runs the engine's Run and signals the engine's run-finished event whatever happens. The
// engine owns the thread object and joins it when it stops or is destroyed.

#include <thread>

class TCustomFFmpeg;
class TFFLoopEvent;

class TConvertThread {
public:
    TConvertThread(TCustomFFmpeg& engine, TFFLoopEvent& runFinished, int priority);
    ~TConvertThread(); // joins
    TConvertThread(const TConvertThread&) = delete;
    TConvertThread& operator=(const TConvertThread&) = delete;

    // Starts the run once; later calls do nothing, also after the thread was joined, so a
    // second Stop of a finished task never runs it again. Called on the engine's owner thread.
    void Resume();
    bool Started() const { return FResumed; }
    // Waits for the thread's end; the run-finished event must already be set or about to be.
    void Join();
    int Priority() const { return FPriority; }

private:
    TCustomFFmpeg& FEngine;
    TFFLoopEvent& FRunFinished;
    int FPriority; // kept for the component; threads run at the process's priority
    bool FResumed = false; // owner thread only
    std::thread FThread;
};
