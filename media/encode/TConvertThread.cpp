#include "media/encode/TConvertThread.h"

#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/FFLoopEvent.h"

TConvertThread::TConvertThread(TCustomFFmpeg& engine, TFFLoopEvent& runFinished, int priority)
    : FEngine(engine), FRunFinished(runFinished), FPriority(priority) {}

TConvertThread::~TConvertThread() {
    Join();
}

void TConvertThread::Resume() {
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
            FEngine.Run();
        } catch (...) {
            // Run guards its own steps; nothing may leave a thread
        }
    });
}

void TConvertThread::Join() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}
