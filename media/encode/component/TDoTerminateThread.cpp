#include "media/encode/component/TDoTerminateThread.h"

#include "media/MyUtils.h"
#include "media/encode/loop/FFLoopEvent.h"
#include "media/encode/TCustomFFmpeg.h"

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg& engine, TFFLoopEvent& notified) {
    notified.Reset();
    std::lock_guard<std::mutex> lock(FLock);
    FThread = std::thread([&engine, &notified] {
        struct SetOnExit {
            TFFLoopEvent& e;
            ~SetOnExit() { e.Set(); }
        } guard{notified};
        try {
            engine.DoTerminate();
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
