#pragma once
// The play thread of one playback: it runs the player's event loop (refresh ticks, picture
// allocation, display updates, the quit request) until the playback is closed. It times the
// refresh ticks itself, by the time-out of its wait, rather than being sent them by a thread that
// does nothing else: the same ticks at half the wake-ups.
//
// The events travel through a queue of our own rather than SDL's: without a video subsystem SDL 2
// can only wait for an event by polling every millisecond, which a preview that should cost next
// to nothing cannot afford. When the display has a window of its own, the loop also polls SDL's
// window events every 10 ms.
//
// A playback with nothing to draw (no video, no audio display) has no use for ticks of its own:
// its positions and its end of range move only when the audio device takes the next buffer. Its
// audio callback nudges the loop instead, and the timer only backs that up (a pause, the end of
// the input), so an idle preview wakes as often as its device and not four times as often.
//
// Owner: the player. Start starts the thread; Join (any thread, any number of times) returns when
// it has ended and been joined once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

enum TPlayEventType {
    peVideoResize = 16,
    peVideoExpose = 17,
    peAllocPicture = 24,
    peRefresh = 25,
    peQuit = 26,
    peUpdateDisplay = 27,
};

class TPlayThread {
public:
    ~TPlayThread(); // joins

    void Start(std::function<void()> body);
    void Post(TPlayEventType type);
    // Asks for one refresh tick soon; nudges before the loop takes one make one tick. It only
    // takes a lock the loop holds for a moment, so SDL's audio thread may call it.
    void Nudge();
    // The next event (a nudge comes as peRefresh), waiting until the time given; false on
    // time-out.
    bool NextUntil(TPlayEventType& type, std::chrono::steady_clock::time_point until);
    void ClearEvents();
    // True from Start until the body has returned.
    bool Running() const { return FRunning.load(); }
    // Waits for the end of the thread and joins it; a second call (from any thread) waits until
    // the first has joined. Pumps messages while waiting on the main thread.
    void Join();

private:
    mutable std::mutex FEventLock; // guards FEvents
    std::condition_variable FEventPosted;
    std::deque<TPlayEventType> FEvents;
    bool FNudged = false;

    std::mutex FJoinLock; // guards FThread (its start and its one join)
    std::thread FThread;
    std::atomic<bool> FRunning{false};
};
