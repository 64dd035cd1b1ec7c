#include "media/encode/TDoTerminateThread.h"

#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/FFLoopEvent.h"

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg& engine, TFFLoopEvent& notified) {
    notified.Reset();
    FThread = std::thread([&engine, &notified] {
        struct SetOnExit {
            TFFLoopEvent& e;
            ~SetOnExit() { e.Set(); }
        } guard{notified};
        try {
            engine.DoTerminate();
        } catch (...) {
            // a terminate callback's failure must not end the process
        }
    });
}

TDoTerminateThread::~TDoTerminateThread() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}
