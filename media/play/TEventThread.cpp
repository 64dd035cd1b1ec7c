#include "media/play/TEventThread.h"

#include "media/MyUtils.h"

#include <chrono>

#include <pthread.h>

TEventThread::TEventThread(TPlayerEventRing& ring, std::function<void(const TRingEvent&)> deliver)
    : FRing(ring), FDeliver(std::move(deliver)) {
    FThread = std::thread([this] {
        pthread_setname_np(pthread_self(), "snip-events");
        Run();
    });
}

TEventThread::~TEventThread() {
    Terminate();
}

void TEventThread::Run() {
    while (!FTerminated) {
        const TRingEvent event = FRing.Read();
        if (event.Kind == rekTerminate)
            break;
        if (event.Kind != rekNone) {
            FDeliver(event);
            if (event.Kind == rekState && event.State == psStop)
                break;
            continue;
        }
        // Every post and the terminate request wake the wait; the time-out is only a back-stop,
        // long enough that an idle player does not keep waking this thread.
        FRing.WaitReady(1000);
    }
    FFinished = true;
}

void TEventThread::RequestTerminate() {
    FTerminated = true;
    FRing.Wake();
}

void TEventThread::Terminate() {
    RequestTerminate();
    // A delivery in progress may be waiting for the main thread.
    JoinOnce(FThread, FJoinLock, [this] { return FFinished.load(); });
}
