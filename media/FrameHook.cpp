#include "media/FrameHook.h"

#include "media/FFEntryPoints.h"

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

// Hook libraries opened so far, by the file name they were asked for. Handles are never
// closed: a task's hooks may be released after another task was set up with the same library.
std::mutex HookLibrariesLock; // guards HookLibraries()
std::map<std::string, void*>& HookLibraries() {
    static std::map<std::string, void*> libraries;
    return libraries;
}

// Hooks are added by the engine once avutil is bound; should that not hold, the message must not
// be lost silently either.
void LogError(const char* format, const char* text) {
    if (ff::av_log)
        ff::av_log(nullptr, AV_LOG_ERROR, format, text);
    else
        std::fprintf(stderr, format, text);
}

void* OpenHookLibrary(const char* fileName) {
    std::string error;
    {
        std::lock_guard<std::mutex> guard(HookLibrariesLock);
        auto& libraries = HookLibraries();
        if (auto found = libraries.find(fileName); found != libraries.end())
            return found->second;
        dlerror();
        if (void* handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL)) {
            libraries.emplace(fileName, handle);
            return handle;
        }
        const char* text = dlerror();
        error = text ? text : "unknown error";
    }
    // Logged after letting go of the lock: the log line may wait for the main thread, which
    // may itself be about to add a hook.
    LogError("%s\n", error.c_str());
    return nullptr;
}

} // namespace

int AddFrameHook(TFrameHookList& list, int argCount, char* args[]) {
    if (argCount <= 0 || !args || !args[0])
        return -2;
    void* library = OpenHookLibrary(args[0]);
    if (!library)
        return -1;

    // Room for the entry is made first, so that a hook once configured is never dropped for
    // lack of memory without its Release being called.
    try {
        list.FEntries.reserve(list.FEntries.size() + 1);
    } catch (const std::bad_alloc&) {
        return -12;
    }
    TFrameHookList::TEntry entry;
    entry.Configure = reinterpret_cast<SnipHookConfigureFn>(dlsym(library, "Configure"));
    entry.Process = reinterpret_cast<SnipHookProcessFn>(dlsym(library, "Process"));
    entry.Release = reinterpret_cast<SnipHookReleaseFn>(dlsym(library, "Release"));
    if (!entry.Process) {
        LogError("Failed to find Process entrypoint in %s\n", args[0]);
        return -2;
    }
    if (!entry.Configure && argCount > 1) {
        LogError("Failed to find Configure entrypoint in %s\n", args[0]);
        return -2;
    }
    if (entry.Configure && entry.Configure(&entry.Context, argCount, args) != 0) {
        LogError("Failed to Configure %s\n", args[0]);
        return -22;
    }
    list.FEntries.push_back(entry);
    return 0;
}

int AddFrameHook(TFrameHookList& list, const QStringList& args) {
    std::vector<QByteArray> texts;
    std::vector<char*> pointers;
    for (const QString& arg : args)
        texts.push_back(arg.toLocal8Bit());
    for (QByteArray& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr); // argv convention: hooks may walk to the terminating null
    return AddFrameHook(list, int(args.size()), pointers.data());
}

void TFrameHookList::Run(SnipHookPicture& picture, int pixelFormat, int width, int height,
                         int64_t pts) {
    for (const TEntry& entry : FEntries)
        entry.Process(entry.Context, &picture, pixelFormat, width, height, pts);
}

void TFrameHookList::Release() {
    for (const TEntry& entry : FEntries)
        if (entry.Release)
            entry.Release(entry.Context);
    FEntries.clear();
}
