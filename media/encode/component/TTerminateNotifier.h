#pragma once
// The encoder component's termination notifications. In a threaded run OnTerminate is raised on
// a thread of the component's own, so that the worker that ended can go on to start the next
// task without waiting for the owner's handler.
//
// One thread per component, started on the first report and joined when the component stops
// it. Reports are queued in the order the tasks ended and delivered one at a time in that
// order, so the owner's handler never runs twice at once and the final report of a run
// (TaskIndex -1) comes after the last task's. Posting never waits.

#include "media/encode/component/FFEncoderOptions.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ffencode {

class TTerminateNotifier {
public:
    using TDeliver = std::function<void(const TTerminateInfo& info)>;

    // deliver runs on the notification thread for every report; it must not throw.
    explicit TTerminateNotifier(TDeliver deliver);
    ~TTerminateNotifier(); // Stop
    TTerminateNotifier(const TTerminateNotifier&) = delete;
    TTerminateNotifier& operator=(const TTerminateNotifier&) = delete;

    void Post(const TTerminateInfo& info);
    // Delivers what is queued, ends the thread and joins it; later posts are dropped. Any number
    // of threads may call it: the first joins, the others return once it has. Not from the
    // notification thread itself (a handler cannot destroy its component).
    void Stop();
    bool IsCurrentThread() const { return FId.load() == std::this_thread::get_id(); }

private:
    void Loop();

    const TDeliver FDeliver;
    // Guards FQueue, FStopping, FEnded and the creation of FThread; never held while delivering.
    std::mutex FLock;
    std::condition_variable FChanged; // a report was queued, a stop asked or the loop ended
    std::deque<TTerminateInfo> FQueue;
    bool FStopping = false;
    bool FEnded = false; // the thread has left its loop
    std::atomic<std::thread::id> FId{};
    std::mutex FJoinLock; // held while joining, so that one thread joins
    std::thread FThread;
};

} // namespace ffencode
