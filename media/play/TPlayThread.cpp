#include "media/play/TPlayThread.h"

#include "media/MyUtils.h"

#include <chrono>

#include <pthread.h>

TPlayThread::~TPlayThread() {
    Join();
}

void TPlayThread::Start(std::function<void()> body) {
    Join();
    // Events posted since the owner cleared the queue (the first refresh) are this playback's.
    std::lock_guard<std::mutex> lock(FJoinLock);
    FRunning = true;
    FThread = std::thread([this, body = std::move(body)] {
        pthread_setname_np(pthread_self(), "snip-play");
        body();
        FRunning = false;
    });
}

void TPlayThread::Post(TPlayEventType type) {
    {
        std::lock_guard<std::mutex> lock(FEventLock);
        FEvents.push_back(type);
    }
    FEventPosted.notify_one();
}

void TPlayThread::Nudge() {
    {
        std::lock_guard<std::mutex> lock(FEventLock);
        if (FNudged)
            return; // the loop has not taken the last one yet: it is awake or about to be
        FNudged = true;
    }
    FEventPosted.notify_one();
}

bool TPlayThread::NextUntil(TPlayEventType& type, std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(FEventLock);
    if (!FEventPosted.wait_until(lock, until, [this] { return !FEvents.empty() || FNudged; }))
        return false;
    if (FEvents.empty()) {
        FNudged = false;
        type = peRefresh;
        return true;
    }
    type = FEvents.front();
    FEvents.pop_front();
    return true;
}

void TPlayThread::ClearEvents() {
    std::lock_guard<std::mutex> lock(FEventLock);
    FEvents.clear();
    FNudged = false;
}

void TPlayThread::Join() {
    // The thread may be handing a log line or an event to the main thread at this moment.
    JoinOnce(FThread, FJoinLock, [this] { return !FRunning.load(); });
}
