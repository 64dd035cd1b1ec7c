#pragma once
// How many decoded pictures the video thread lets through. While pictures are shown late the
// amount grows by 5 % steps and the video thread skips pictures before they are queued (one in
// about twenty at 1.05); while the picture queue is full the amount shrinks by 5 % steps back to
// showing every picture (no amount below 0.95 skips anything).
//
// Threads: the play thread's refresh calls Late; the video thread calls the rest. The amount is
// shared under a lock; the index belongs to the video thread.

#include <mutex>

class TFrameSkip {
public:
    // A decoded picture: true when it is to be shown, false when it is skipped.
    bool Take();
    // A picture is shown late (or dropped after a seek).
    void Late();
    // The picture queue is full: pictures come faster than they are shown.
    void QueueFull();
    // After a seek: every picture again.
    void Reset();
    float Amount() const;

private:
    mutable std::mutex FLock; // guards FAmount
    float FAmount = 1;
    float FIndex = 0; // video thread only
};
