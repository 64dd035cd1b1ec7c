#pragma once
// The owner's handlers of a player and the locks that make replacing one a barrier: when a
// setter returns, no call of the old handler runs or will start. Position and state handlers run
// under a recursive lock (a handler may replace a handler) that the main thread takes while
// serving the calls handed to it, since the event thread may hold it while its handler waits for
// the main thread; the audio and video hooks have a gate each (THandlerGate), which holds no lock
// while the hook runs on the audio or the video thread, so a hook may wait for the main thread
// while the main thread replaces it.

#include "media/THandlerGate.h"
#include "media/play/FFPlayTypes.h"
#include "media/play/TPlayerEventRing.h"

#include <atomic>
#include <mutex>

class TFFBaseComponent;
class TPlayerLogQueue;

class TPlayerHandlers {
public:
    // sender: the player, the handlers' first argument; it also says where events run.
    TPlayerHandlers(TFFBaseComponent& sender, TPlayerLogQueue& log) : FSender(sender), FLog(log) {}

    void SetOnPosition(TPositionEvent handler);
    void SetOnState(TPlayStateEvent handler);
    void SetOnAudioHook(TPlayerAudioHookEvent handler);
    void SetOnVideoHook(TPlayerVideoHookEvent handler);
    bool HasOnPosition() const { return FHasOnPosition.load(); }
    bool HasOnState() const { return FHasOnState.load(); }

    // The event thread's delivery: the handler runs in the main thread when the player says so,
    // and not at all when the event's generation is no longer live (checked where it runs).
    void Deliver(const TRingEvent& event, const std::atomic<uint64_t>& liveGeneration);
    // On the audio thread; errors of the handler go to the log queue.
    void RaiseAudioHook(int64_t pts, uint8_t* sample, int size, int rate, int channels);
    // On the video thread; true when the handler's picture is to be shown.
    bool RaiseVideoHook(TBitmap& bitmap, int64_t pts);
    // True while the calling thread runs a position or state handler.
    static bool InHandler();

private:
    TFFBaseComponent& FSender;
    TPlayerLogQueue& FLog;
    std::recursive_mutex FHandlerLock; // guards FOnPosition and FOnState, held while they run
    TPositionEvent FOnPosition;
    TPlayStateEvent FOnState;
    std::atomic<bool> FHasOnPosition{false}, FHasOnState{false};
    THandlerGate<TPlayerAudioHookEvent> FOnAudioHook;
    THandlerGate<TPlayerVideoHookEvent> FOnVideoHook;
};
