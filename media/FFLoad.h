#pragma once
// Run-time loader of the FFmpeg and SDL libraries.
//
// Nothing of ours links FFmpeg or SDL. Each media component asks the one process-wide loader for
// its library set; the loader finds every file (the configured folder first, then the system
// search), checks that the library's major version is the one our headers describe, and binds
// every entry point of media/FFEntryPoints.h by name. A library that lacks one entry point, or
// whose major differs, is refused and unloaded again: calling through a half-bound table or
// through a mismatched ABI would corrupt memory.
//
// Threads: the loader is not synchronised. Loading and unloading happen on the main thread
// before the components start their worker threads and after those have ended; the bound
// entry-point variables are then read from any thread. The codec lock is process-wide and is
// held by every thread that opens or closes a codec.

#include <QByteArray>
#include <QString>

#include <array>
#include <cfenv>
#include <cstdint>
#include <mutex>
#include <string>

// The order is the loading order and each kind's bit in a TLibrarySet.
enum TLibraryKind {
    lkAVCodec,
    lkAVCore, // libswresample: resampling and sample-format conversion live there now
    lkAVDevice,
    lkAVFilter,
    lkAVFormat,
    lkAVUtil,
    lkSwScale,
    lkMSVCRT, // the C runtime (libc)
    lkSDL
};
constexpr int LibraryKindCount = lkSDL + 1;

// Bit n stands for kind n.
using TLibrarySet = std::uint16_t;
constexpr TLibrarySet LibraryBit(TLibraryKind kind) {
    return TLibrarySet(1u << kind);
}

constexpr TLibrarySet AllLibraries = 0x01FF;
constexpr TLibrarySet EncoderLibraries = 0x00FB;
constexpr TLibrarySet DecoderLibraries = 0x00F3;
constexpr TLibrarySet PlayerLibraries = 0x01FB;

struct TLibraryStatus {
    TLibraryKind Kind = lkAVCodec;
    // When non-empty, used unchanged as the library's file name (may hold a folder).
    QString FileName;
    void* Handle = nullptr; // dlopen handle; nullptr while not loaded
    bool Bound = false;     // every entry point found and the version accepted
};

class TFFLoader {
public:
    TFFLoader();
    ~TFFLoader();
    TFFLoader(const TFFLoader&) = delete;
    TFFLoader& operator=(const TFFLoader&) = delete;

    // Folder searched first by every later load; empty means the system search only.
    QString LibraryPath() const { return FLibraryPath; }
    void SetLibraryPath(const QString& path) { FLibraryPath = path; }

    // Message of the last failure; a later success does not clear it.
    std::string LastError() const { return FLastError; }

    // The file name of a kind: the status override when set, else the soname our headers
    // describe (libavcodec.so.59 ...).
    QString LibraryFileName(TLibraryKind kind) const;
    // Points a kind at another file (empty restores the default); takes effect at its next load.
    void SetLibraryFileName(TLibraryKind kind, const QString& fileName);
    const TLibraryStatus& Status(TLibraryKind kind) const { return FStatus[kind]; }

    // Loads and binds one library unless already done; true when it is bound afterwards.
    bool LoadLib(TLibraryKind kind);
    // Unbinds and frees one library; registrations made by it are not undone.
    void UnloadLib(TLibraryKind kind);
    // Loads every member in kind order; on the first failure unloads the members this call
    // loaded (those loaded before stay, for the components using them) and returns false.
    bool LoadLibs(TLibrarySet libs);
    void UnloadLibs(TLibrarySet libs);
    bool LibLoaded(TLibraryKind kind) const;
    bool LibsLoaded(TLibrarySet libs) const;

    // When set, the log bridge is installed into avutil each time avutil is loaded.
    bool HookLog = true;

private:
    bool OpenLibrary(TLibraryKind kind, QByteArray& file);
    void AfterLoad(TLibraryKind kind);

    std::array<TLibraryStatus, LibraryKindCount> FStatus;
    // Per kind, the name given to dlopen (the folder path or the bare soname) and the
    // folder + name shown in messages.
    std::array<QByteArray, LibraryKindCount> FLoadedFile;
    std::array<QByteArray, LibraryKindCount> FShownName;
    QString FLibraryPath;
    std::string FLastError;
    std::fenv_t FSavedFPEnv; // the FP environment in force before start-up
};

// The process-wide loader; created at start-up, before any component exists.
TFFLoader& FFLoader();

// Held around every codec open and close, by every component and thread: FFmpeg's codec
// initialisation is not safe against concurrent opens and closes of other contexts. It is only
// ever taken through LockCodecs(); the mutex itself is for try_lock checks in tests.
std::mutex& CodecLock();

// The codec lock, held from construction to destruction (or unlock()).
//   - On the main thread the wait keeps running the calls handed to the main thread, so a
//     holder that waits for the main thread can always finish.
//   - While it is held, log lines of this thread (the libraries log inside avcodec_open2) are
//     queued, not delivered: delivery may wait for the main thread or run an owner's handler,
//     and neither may happen under this lock. They are delivered when the lock is released.
class TCodecLockGuard {
public:
    TCodecLockGuard();
    ~TCodecLockGuard();
    TCodecLockGuard(const TCodecLockGuard&) = delete;
    TCodecLockGuard& operator=(const TCodecLockGuard&) = delete;
    void unlock();

private:
    bool FHeld = false;
};

// The one way to take the codec lock. HoldsCodecLock() (FFEventTrigger.h) tells whether the
// calling thread holds it.
[[nodiscard]] TCodecLockGuard LockCodecs();
