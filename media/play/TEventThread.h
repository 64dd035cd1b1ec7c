#pragma once
// The event thread: reads the player's event ring and delivers each event to the owner's
// handlers, in the main thread when the player says so. A slow handler delays only this thread,
// never the play thread.
//
// Owner: the player. The constructor starts the thread; Terminate (any thread, any number of
// times) asks it to leave, waits (pumping on the main thread, where a delivery may be waiting)
// and joins it once. The thread leaves by itself after delivering psStop or a terminate event.

#include "media/play/TPlayerEventRing.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class TEventThread {
public:
    // deliver runs one event (on this thread; it decides where the handler runs).
    TEventThread(TPlayerEventRing& ring, std::function<void(const TRingEvent&)> deliver);
    ~TEventThread(); // Terminate()
    TEventThread(const TEventThread&) = delete;
    TEventThread& operator=(const TEventThread&) = delete;

    void Terminate();
    // Asks the thread to leave after the delivery in progress, without waiting for it.
    void RequestTerminate();
    bool Finished() const { return FFinished.load(); }

private:
    void Run();

    TPlayerEventRing& FRing;
    std::function<void(const TRingEvent&)> FDeliver;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FJoinLock; // guards the one join of FThread
    std::thread FThread;
};
