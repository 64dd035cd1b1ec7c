#pragma once
// Frame hooks: user-named shared libraries that change video pictures in place before they are
// encoded (the engine's "vhook" option). The interface a hook library exports is in
// media/FrameHookABI.h.
//
// Threads: hooks are added while the engine sets up a task (main thread) and run and released
// on the task's worker thread; a TFrameHookList belongs to one task and is not shared. The
// process-wide table of opened hook libraries is guarded by its own lock, and hook libraries
// stay loaded until the program ends, since a context released later may still point into them.

#include "media/FrameHookABI.h"

#include <QStringList>

#include <cstdint>
#include <vector>

class TFrameHookList {
public:
    TFrameHookList() = default;
    ~TFrameHookList() { Release(); }
    TFrameHookList(const TFrameHookList&) = delete;
    TFrameHookList& operator=(const TFrameHookList&) = delete;

    bool Empty() const { return FEntries.empty(); }
    int Count() const { return int(FEntries.size()); }

    // Calls every hook's Process in the order they were added; pts in microseconds.
    void Run(SnipHookPicture& picture, int pixelFormat, int width, int height, int64_t pts);
    // Calls every hook's Release (when it has one) and empties the list.
    void Release();

private:
    struct TEntry {
        SnipHookConfigureFn Configure = nullptr;
        SnipHookProcessFn Process = nullptr;
        SnipHookReleaseFn Release = nullptr;
        void* Context = nullptr; // the hook's own state, made by its Configure
    };
    std::vector<TEntry> FEntries;

    friend int AddFrameHook(TFrameHookList& list, int argCount, char* args[]);
};

// Opens the hook library args[0] (once per process) and appends a hook configured with
// args[0..argCount-1]. Returns 0 on success, -1 when the library cannot be loaded, -2 for no
// arguments or a missing entry point, -12 when out of memory, -22 when Configure refuses the
// arguments. Failures are logged through avutil's log at error level.
int AddFrameHook(TFrameHookList& list, int argCount, char* args[]);
// The same with the library name and arguments as text (converted to the locale's charset).
int AddFrameHook(TFrameHookList& list, const QStringList& args);
