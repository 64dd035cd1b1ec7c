#include "media/play/TFrameSkip.h"

#include <algorithm>

bool TFrameSkip::Take() {
    const float amount = Amount();
    FIndex += 1;
    if (FIndex < amount)
        return false;
    FIndex -= std::max(amount, 1.0f);
    return true;
}

void TFrameSkip::Late() {
    std::lock_guard<std::mutex> lock(FLock);
    FAmount *= 1.05f;
}

void TFrameSkip::QueueFull() {
    std::lock_guard<std::mutex> lock(FLock);
    FAmount = std::max(0.95f, FAmount * 0.95f);
}

void TFrameSkip::Reset() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FAmount = 1;
    }
    FIndex = 0;
}

float TFrameSkip::Amount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FAmount;
}
