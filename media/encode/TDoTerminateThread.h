#pragma once
// A short-lived thread that reports the termination of an engine that never ran: it calls the
// engine's DoTerminate (and so its terminate callback) off the caller's thread, then signals the
// engine's terminate-notified event whatever happens. The engine owns and joins it.

#include <thread>

class TCustomFFmpeg;
class TFFLoopEvent;

class TDoTerminateThread {
public:
    // Starts at once.
    TDoTerminateThread(TCustomFFmpeg& engine, TFFLoopEvent& notified);
    ~TDoTerminateThread(); // joins
    TDoTerminateThread(const TDoTerminateThread&) = delete;
    TDoTerminateThread& operator=(const TDoTerminateThread&) = delete;

private:
    std::thread FThread;
};
