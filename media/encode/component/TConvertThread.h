#pragma once
// The worker thread of a threaded run. It is created suspended by the engine's Start, so the
// caller can finish its own bookkeeping before the run begins, and is started by Resume. It
// runs the engine's run and signals the engine's run-finished event whatever happens. The
// engine owns the thread object; whoever stops the engine first joins it.

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class TFFLoopEvent;

class TConvertThread {
public:
    // run is the engine's run; the thread knows nothing else of the engine.
    TConvertThread(std::function<void()> run, TFFLoopEvent& runFinished, int priority);
    ~TConvertThread(); // joins
    TConvertThread(const TConvertThread&) = delete;
    TConvertThread& operator=(const TConvertThread&) = delete;

    // Starts the run once; later calls do nothing, also after the thread was joined, so a
    // second stop of a finished task never runs it again. Any thread may call it.
    void Resume();
    // Joins the thread. Any number of threads may call it at once: the first joins, the others
    // return once it has. Called on the worker itself it returns at once. Callers wait for the
    // run-finished event first, so the join itself is short.
    void Join();
    // True on the worker itself.
    bool IsCurrentThread() const { return FId.load() == std::this_thread::get_id(); }
    int Priority() const { return FPriority; }

private:
    std::function<void()> FRun;
    TFFLoopEvent& FRunFinished;
    int FPriority; // kept for the component; threads run at the process's priority
    std::atomic<std::thread::id> FId{}; // the worker's id once resumed
    std::mutex FLock;                   // guards FResumed and FThread; held while joining
    bool FResumed = false;
    std::thread FThread;
};
