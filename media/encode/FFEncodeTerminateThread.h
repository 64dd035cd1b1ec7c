#pragma once
// The encoder component's termination notifications. In a threaded run OnTerminate is raised on
// a short-lived thread of its own, so that the worker that ended can go on to start the next
// task without waiting for the owner's handler.
//
// Every notification takes a ticket when it is started and is delivered only when all earlier
// ones have been: the owner's handler never runs twice at once, task events arrive in the order
// the tasks ended, and the final report of a run (TaskIndex -1) comes after the last of them.

#include "media/encode/FFEncoderOptions.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ffencode {

// Shared between the component and its notification threads; each thread holds it, so a thread
// still finishing after the component is gone never touches freed memory.
struct TTerminateDelivery {
    std::mutex Lock;                 // guards the three counters
    std::condition_variable Changed; // signalled whenever a notification has ended
    uint64_t NextTicket = 0;         // ticket of the next notification started
    uint64_t Serving = 0;            // ticket allowed to deliver now
    int Running = 0;                 // notification threads not yet ended

    // True when every notification started so far has been delivered.
    bool Delivered();
    // Waits until every notification thread has ended. On the main thread it keeps running
    // main-thread calls, which a handler may be blocked in.
    void WaitIdle();
};

class TDoTerminateThread {
public:
    // Starts a detached thread that waits for its turn, calls event (when set) with a copy of
    // info, and lets the next notification go.
    static void Start(TTerminateEvent event, QObject* sender, const TTerminateInfo& info,
                      std::shared_ptr<TTerminateDelivery> delivery);
};

} // namespace ffencode
