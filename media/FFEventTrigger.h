#pragma once
// The main-thread event trigger: on which thread the events of a media object reach its owner.
// The components (FFBaseComponent) and the log bridge (FFLog) both raise events and both let the
// owner choose, so the choice lives here, below either of them.
//
// Also here is the mark that the calling thread holds the codec lock: the loader's lock guard
// sets it, and the log bridge reads it to hold a thread's lines back instead of delivering them
// under that lock (a delivery may wait for the main thread or run an owner's handler).
//
// Threads: the trigger is read by whichever thread raises an event while the owner may change
// it, so it is atomic. The codec lock mark is the calling thread's own.

#include <QObject>

#include <atomic>

class TFFEventTrigger : public QObject {
    Q_OBJECT
public:
    explicit TFFEventTrigger(QObject* parent = nullptr) : QObject(parent) {}

    // When true, events reach the owner in the main thread (CallInMainThread); when false they
    // are raised on the thread that produced them.
    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
    void SetTriggerEventInMainThread(bool value) { FTriggerEventInMainThread.store(value); }

private:
    std::atomic<bool> FTriggerEventInMainThread{true};
};

// True while the calling thread holds the codec lock (TCodecLockGuard in FFLoad.h).
bool HoldsCodecLock();
// Set by TCodecLockGuard when it takes the lock and cleared when it lets it go; nobody else.
void MarkCodecLockHeld(bool held);
