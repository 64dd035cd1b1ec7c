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

    // Starts the run; later calls do nothing. Called on the thread that owns the engine.
    void Resume();
    bool Started() const { return FThread.joinable(); }
    // Waits for the thread's end; the run-finished event must already be set or about to be.
    void Join();
    int Priority() const { return FPriority; }

private:
    TCustomFFmpeg& FEngine;
    TFFLoopEvent& FRunFinished;
    int FPriority; // kept for the component; threads run at the process's priority
    std::thread FThread;
};
