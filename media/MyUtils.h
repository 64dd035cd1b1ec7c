#pragma once
// Small shared functions of the media layer: main-thread calls, the message pump used by
// waiting loops, wide-string path handling, file sizes and size texts.

#include <functional>

// Runs fn in the main thread and waits for it when called from another thread while an
// application object exists; otherwise calls it directly. Waits on the main thread must pump
// (PumpMessages) so that a worker blocked here can never deadlock against them.
void CallInMainThread(const std::function<void()>& fn);

// Runs the pending events of the calling thread, including blocking calls queued by
// CallInMainThread when the caller is the main thread.
void PumpMessages();

// True on the thread that runs the application's event loop (or when no application exists).
bool IsMainThread();
