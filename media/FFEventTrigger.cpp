#include "media/FFEventTrigger.h"

namespace {
thread_local bool ThisThreadHoldsCodecLock = false;
} // namespace

bool HoldsCodecLock() {
    return ThisThreadHoldsCodecLock;
}

void MarkCodecLockHeld(bool held) {
    ThisThreadHoldsCodecLock = held;
}
