#pragma once
// The ring of unread position and state events between the play thread and the event thread.
//
// Ten slots, so at most nine unread events. An event of the same kind as the newest unread one
// overwrites it: a slow owner gets the latest position instead of a backlog, and when the ring is
// full the oldest event goes. Each event carries the generation of the playback that made it, so
// that the delivering side can drop the events of a playback that has been replaced.

#include "media/play/FFPlayTypes.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

enum TRingEventKind { rekNone, rekPosition, rekState, rekTerminate };

struct TRingEvent {
    TRingEventKind Kind = rekNone;
    TPlayState State = psPlay;
    int64_t Position = 0; // µs
    uint64_t Generation = 0;
};

class TPlayerEventRing {
public:
    static constexpr int Slots = 10;

    void Post(const TRingEvent& event);
    // The oldest unread event, or one of kind rekNone when the ring is empty.
    TRingEvent Read();
    // Waits up to ms milliseconds for the ring to hold an event; true when it does.
    bool WaitReady(int ms);
    // Wakes a waiter without an event (the event thread is being terminated).
    void Wake();
    void Clear();

private:
    std::mutex FLock; // guards the slots, both indexes and FReady
    std::condition_variable FReadyChanged;
    TRingEvent FSlots[Slots];
    int FRead = 0, FWrite = 0;
    bool FReady = false;
    bool FWoken = false;
};
