#pragma once
// A short-lived thread that reports the termination of an engine that never ran: it calls the
// engine's DoTerminate (and so its terminate callback) off the caller's thread, then signals the
// engine's terminate-notified event whatever happens. The engine owns it; whoever stops the
// engine first joins it.

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class TFFLoopEvent;

class TDoTerminateThread {
public:
    // Starts at once; report is the engine's DoTerminate.
    TDoTerminateThread(std::function<void()> report, TFFLoopEvent& notified);
    ~TDoTerminateThread(); // joins
    TDoTerminateThread(const TDoTerminateThread&) = delete;
    TDoTerminateThread& operator=(const TDoTerminateThread&) = delete;

    // As TConvertThread::Join: the first caller joins, the others return once it has.
    void Join();
    bool IsCurrentThread() const { return FId.load() == std::this_thread::get_id(); }

private:
    std::atomic<std::thread::id> FId{};
    std::mutex FLock; // guards FThread; held while joining
    std::thread FThread;
};
