#include "media/play/TPlayerEventRing.h"

#include <chrono>

void TPlayerEventRing::Post(const TRingEvent& event) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        const int newest = (FWrite + Slots - 1) % Slots;
        if (FRead == FWrite || FSlots[newest].Kind != event.Kind) {
            FWrite = (FWrite + 1) % Slots;
            if (FWrite == FRead)
                FRead = (FRead + 1) % Slots; // full: the oldest event goes
        }
        FSlots[(FWrite + Slots - 1) % Slots] = event;
        FReady = true;
    }
    FReadyChanged.notify_all();
}

TRingEvent TPlayerEventRing::Read() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FRead == FWrite)
        return {};
    const TRingEvent event = FSlots[FRead];
    FRead = (FRead + 1) % Slots;
    if (FRead == FWrite)
        FReady = false;
    return event;
}

bool TPlayerEventRing::WaitReady(int ms) {
    std::unique_lock<std::mutex> lock(FLock);
    FReadyChanged.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return FReady || FWoken; });
    FWoken = false;
    return FReady;
}

void TPlayerEventRing::Wake() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FWoken = true;
    }
    FReadyChanged.notify_all();
}

void TPlayerEventRing::Clear() {
    std::lock_guard<std::mutex> lock(FLock);
    FRead = FWrite = 0;
    FReady = false;
}
