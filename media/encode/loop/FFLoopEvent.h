#pragma once
// A manual-reset event: stays signalled from Set until Reset. Whatever a thread wrote before
// Set is visible to a thread whose Wait or IsSet saw the event signalled.
//
// Waits poll in 1 ms steps: they are short slices between pumping the main thread's pending
// calls anyway, and an atomic flag keeps the hand-over plain for ThreadSanitizer, which does not
// follow libstdc++'s timed condition waits.

#include <atomic>
#include <chrono>
#include <thread>

class TFFLoopEvent {
public:
    explicit TFFLoopEvent(bool signalled = true) : FSignalled(signalled) {}

    void Set() { FSignalled.store(true, std::memory_order_release); }
    void Reset() { FSignalled.store(false, std::memory_order_release); }
    bool IsSet() const { return FSignalled.load(std::memory_order_acquire); }
    // True when signalled within timeoutMs.
    bool Wait(int timeoutMs) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (IsSet())
                return true;
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    std::atomic<bool> FSignalled;
};
