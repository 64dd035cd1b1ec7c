#include "media/encode/component/TConvertThread.h"

#include "media/MyUtils.h"
#include "media/encode/loop/FFLoopEvent.h"

TConvertThread::TConvertThread(std::function<void()> run, TFFLoopEvent& runFinished,
                               int priority)
    : FRun(std::move(run)), FRunFinished(runFinished), FPriority(priority) {}

TConvertThread::~TConvertThread() {
    Join();
}

void TConvertThread::Resume() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FResumed)
        return;
    FResumed = true;
    // Reset before the thread exists, so a waiter that comes right after Resume waits for
    // this run and not for the previous state of the event.
    FRunFinished.Reset();
    FThread = std::thread([this] {
        struct SetOnExit {
            TFFLoopEvent& e;
            ~SetOnExit() { e.Set(); }
        } guard{FRunFinished};
        try {
            FRun();
        } catch (...) {
            // Run reports its own end from a scope guard; nothing may leave a thread
        }
    });
    FId.store(FThread.get_id());
}

void TConvertThread::Join() {
    if (IsCurrentThread())
        return;
    auto lock = LockPumping(FLock);
    if (FThread.joinable())
        FThread.join();
}
