#pragma once
// A manual-reset event: stays signalled from Set until Reset, and wakes every waiter.

#include <chrono>
#include <condition_variable>
#include <mutex>

class TFFLoopEvent {
public:
    explicit TFFLoopEvent(bool signalled = true) : FSignalled(signalled) {}

    void Set() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FSignalled = true;
        }
        FCond.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(FLock);
        FSignalled = false;
    }
    // True when signalled within timeoutMs.
    bool Wait(int timeoutMs) {
        std::unique_lock<std::mutex> lock(FLock);
        return FCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return FSignalled; });
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(FLock);
        return FSignalled;
    }

private:
    std::mutex FLock; // guards FSignalled
    std::condition_variable FCond;
    bool FSignalled;
};
