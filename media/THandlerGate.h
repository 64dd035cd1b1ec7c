#pragma once
// An event handler with a barrier, for components whose events are raised on other threads.
//
// Invoke runs the handler (when one is set) with the arguments the caller hands it, one call at
// a time across threads. Set replaces the handler and returns only when no call of the previous
// one is running on another thread; any call that starts afterwards sees the new handler. So an
// owner that sets nullptr (or a component's destructor) knows its handler is done with for good.
//
// The gate's own lock is held only to look at its fields, never while a handler runs, so a
// handler may wait for the main thread. A thread already inside a call (a main-thread handler
// that pumps messages, or one that replaces itself) passes straight through, so nesting can
// never deadlock. Waits on the main thread keep running main-thread calls.

#include "media/MyUtils.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

template <class Fn> class THandlerGate {
public:
    // Calls call(handler) when a handler is set; false when none is.
    template <class Call> bool Invoke(Call&& call) {
        std::unique_lock<std::mutex> lock(FLock);
        const std::thread::id me = std::this_thread::get_id();
        WaitPumping(lock, FIdle, [&] { return FDepth == 0 || FOwner == me; });
        if (!FHandler)
            return false;
        const Fn handler = FHandler; // Set may replace it while this call runs
        ++FDepth;
        FOwner = me;
        lock.unlock();
        struct TLeave {
            THandlerGate& Gate;
            ~TLeave() {
                std::lock_guard<std::mutex> lock(Gate.FLock);
                if (--Gate.FDepth == 0) {
                    Gate.FOwner = std::thread::id();
                    Gate.FIdle.notify_all();
                }
            }
        } leave{*this};
        call(handler);
        return true;
    }

    void Set(Fn handler) {
        Fn previous;
        std::unique_lock<std::mutex> lock(FLock);
        previous = std::exchange(FHandler, std::move(handler));
        const std::thread::id me = std::this_thread::get_id();
        WaitPumping(lock, FIdle, [&] { return FDepth == 0 || FOwner == me; });
        lock.unlock();
        // previous (and what it captured) goes here, outside the lock.
    }

    bool Assigned() const {
        std::lock_guard<std::mutex> lock(FLock);
        return bool(FHandler);
    }

private:
    mutable std::mutex FLock;      // guards the three fields below; never held while a handler runs
    std::condition_variable FIdle; // signalled when the last call of a thread has returned
    Fn FHandler;
    int FDepth = 0;         // calls running, all on FOwner (nested ones included)
    std::thread::id FOwner; // the thread whose calls are running; none when FDepth is 0
};
