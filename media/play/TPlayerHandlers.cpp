#include "media/play/TPlayerHandlers.h"

#include "media/FFBaseComponent.h"
#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/play/TPlayerLogQueue.h"

#include <chrono>
#include <exception>
#include <thread>

namespace {

// Depth of position and state handlers running on this thread.
thread_local int HandlerDepth = 0;

} // namespace

bool TPlayerHandlers::InHandler() {
    return HandlerDepth > 0;
}

void TPlayerHandlers::SetOnPosition(TPositionEvent handler) {
    auto lock = LockPumping(FHandlerLock);
    FOnPosition = std::move(handler);
    FHasOnPosition = bool(FOnPosition);
}

void TPlayerHandlers::SetOnState(TPlayStateEvent handler) {
    auto lock = LockPumping(FHandlerLock);
    FOnState = std::move(handler);
    FHasOnState = bool(FOnState);
}

void TPlayerHandlers::SetOnAudioHook(TPlayerAudioHookEvent handler) {
    FOnAudioHook.Set(std::move(handler));
}

void TPlayerHandlers::SetOnVideoHook(TPlayerVideoHookEvent handler) {
    FOnVideoHook.Set(std::move(handler));
}

void TPlayerHandlers::Deliver(const TRingEvent& event,
                              const std::atomic<uint64_t>& liveGeneration) {
    auto run = [this, event, &liveGeneration] {
        if (event.Generation != liveGeneration)
            return; // a replaced playback's event, or the player is going away
        auto lock = LockPumping(FHandlerLock);
        ++HandlerDepth;
        struct TLeave {
            ~TLeave() { --HandlerDepth; }
        } leave;
        if (event.Kind == rekPosition && FOnPosition)
            FOnPosition(&FSender, event.Position);
        else if (event.Kind == rekState && FOnState)
            FOnState(&FSender, event.State);
    };
    try {
        if (FSender.TriggerEventInMainThread())
            CallInMainThread(run);
        else
            run();
    } catch (const std::exception& e) {
        ActiveLogger()->LogFmt(&FSender, llError, "Error occurs in an event handler: %s", e.what());
    }
}

void TPlayerHandlers::RaiseAudioHook(int64_t pts, uint8_t* sample, int size, int rate,
                                     int channels) {
    FOnAudioHook.Invoke([&](const TPlayerAudioHookEvent& hook) {
        try {
            hook(&FSender, pts, sample, size, rate, channels);
        } catch (const std::exception& e) {
            FLog.PushFmt(llError, "Error occurs OnAudioHook: %s", e.what());
        } catch (...) {
            FLog.Push(llError, QStringLiteral("Error occurs OnAudioHook"));
        }
    });
}

bool TPlayerHandlers::RaiseVideoHook(TBitmap& bitmap, int64_t pts) {
    bool update = true;
    const bool called = FOnVideoHook.Invoke([&](const TPlayerVideoHookEvent& hook) {
        try {
            hook(&FSender, bitmap, pts, update);
        } catch (const std::exception& e) {
            FLog.Push(llError,
                      QStringLiteral("Error occurs OnVideoHook: ") + QString::fromUtf8(e.what()));
            update = false;
        }
    });
    return called && update;
}
