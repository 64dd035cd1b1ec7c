#include "media/encode/component/TDoTerminateThread.h"

#include "media/MyUtils.h"
#include "media/encode/loop/FFLoopEvent.h"

TDoTerminateThread::TDoTerminateThread(std::function<void()> report, TFFLoopEvent& notified) {
    notified.Reset();
    std::lock_guard<std::mutex> lock(FLock);
    FThread = std::thread([report = std::move(report), &notified] {
        struct SetOnExit {
            TFFLoopEvent& e;
            ~SetOnExit() { e.Set(); }
        } guard{notified};
        try {
            report();
        } catch (...) {
            // the component guards its handlers; nothing may leave a thread
        }
    });
    FId.store(FThread.get_id());
}

TDoTerminateThread::~TDoTerminateThread() {
    Join();
}

void TDoTerminateThread::Join() {
    if (IsCurrentThread())
        return;
    auto lock = LockPumping(FLock);
    if (FThread.joinable())
        FThread.join();
}
