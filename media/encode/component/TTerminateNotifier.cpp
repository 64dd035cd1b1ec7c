#include "media/encode/component/TTerminateNotifier.h"

#include "media/MyUtils.h"

namespace ffencode {

TTerminateNotifier::TTerminateNotifier(TDeliver deliver) : FDeliver(std::move(deliver)) {}

TTerminateNotifier::~TTerminateNotifier() {
    Stop();
}

void TTerminateNotifier::Post(const TTerminateInfo& info) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FStopping)
        return;
    FQueue.push_back(info);
    if (!FThread.joinable()) {
        FThread = std::thread([this] { Loop(); });
        FId.store(FThread.get_id());
    }
    FChanged.notify_all();
}

void TTerminateNotifier::Loop() {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FChanged.wait(lock, [this] { return FStopping || !FQueue.empty(); });
        if (FQueue.empty()) {
            FEnded = true; // stopping, and everything delivered
            FChanged.notify_all();
            return;
        }
        const TTerminateInfo info = std::move(FQueue.front());
        FQueue.pop_front();
        lock.unlock();
        FDeliver(info);
        lock.lock();
    }
}

void TTerminateNotifier::Stop() {
    if (IsCurrentThread())
        return;
    {
        std::unique_lock<std::mutex> lock(FLock);
        FStopping = true;
        FChanged.notify_all();
        // A report being delivered may wait for the main thread.
        if (FThread.joinable())
            WaitPumping(lock, FChanged, [this] { return FEnded; });
    }
    auto join = LockPumping(FJoinLock);
    // The thread is only created under FLock before FStopping was set, so it is not created
    // any more.
    if (FThread.joinable())
        FThread.join();
}

} // namespace ffencode
