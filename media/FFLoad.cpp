#include "media/FFLoad.h"

#include "media/FFEntryPoints.h"
#include "media/FFEventTrigger.h"
#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/UnicodeProtocol.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cfenv>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <chrono>
#include <span>
#include <thread>

extern "C" {
#include <libavutil/macros.h>
}

#if defined(__SANITIZE_ADDRESS__)
#include <link.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

// dlerror() returns nullptr when the loader recorded nothing; the messages always want text.
const char* DlErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

// dlopen for the loader. FFmpeg's dependencies allocate in their start-up code and keep the
// blocks in their own static data; once the module is unloaded again those blocks are
// unreachable, and the leak checker of a sanitizer build would blame us for them.
#if defined(__SANITIZE_ADDRESS__)
// The leak checker walks every thread's dynamic TLS at exit and crashes on the slot of a module
// that has been unloaded. FFmpeg and SDL carry no TLS of their own, but many of their
// dependencies do; those are pinned in sanitizer builds so unloading the media libraries never
// leaves a stale slot behind. Release builds unload everything as usual.
void PinTlsDependencies() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0')
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_TLS) {
                    dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
                    break;
                }
            return 0;
        },
        nullptr);
}
#endif

void* OpenModule(const char* file) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    // Lazily: the libraries' dependencies (a hundred for libavcodec) then resolve only the few
    // functions ever called, which takes tens of milliseconds off every start. Our own entry
    // points are looked up one by one with dlsym, so a missing one still fails the load.
    void* handle = dlopen(file, RTLD_LAZY | RTLD_LOCAL);
#if defined(__SANITIZE_ADDRESS__)
    if (handle != nullptr)
        PinTlsDependencies();
    __lsan_enable();
#endif
    return handle;
}

// A data symbol bound like a function: its address is stored in *Target.
struct TDataSymbol {
    const char* Name;
    void** Target;
};

template <class T>
bool BindEntry(void* handle, const char* name, const QByteArray& file, std::string& error,
               T& target) {
    dlerror();
    void* address = dlsym(handle, name);
    if (!address) {
        error = Format("Load function %s@%s error: %s", name, file.constData(), DlErrorText());
        return false;
    }
    target = reinterpret_cast<T>(address);
    return true;
}

// No library of this generation exports data the code reads directly (the pixel-format
// descriptors went behind av_pix_fmt_desc_get), so the per-library tables below are empty; the
// binding stays so a data symbol can be added like a function.
bool BindVariables(void* handle, std::span<const TDataSymbol> symbols, const QByteArray& file,
                   std::string& error) {
    for (const TDataSymbol& symbol : symbols) {
        dlerror();
        void* address = dlsym(handle, symbol.Name);
        if (!address) {
            error = Format("Load variable %s@%s error: %s", symbol.Name, file.constData(),
                           DlErrorText());
            return false;
        }
        *symbol.Target = address;
    }
    return true;
}

#define SNIP_BIND_ENTRY(name)                                                                      \
    if (!BindEntry(handle, #name, file, error, ff::name))                                          \
        return false;
#define SNIP_UNBIND_ENTRY(name) ff::name = nullptr;
#define SNIP_BIND_FAMILY(Family, LIST)                                                             \
    bool Bind##Family(void* handle, const QByteArray& file, std::string& error) {                  \
        LIST(SNIP_BIND_ENTRY)                                                                      \
        return true;                                                                               \
    }                                                                                              \
    void Unbind##Family() {                                                                        \
        LIST(SNIP_UNBIND_ENTRY)                                                                    \
    }

SNIP_BIND_FAMILY(AVCodec, SNIP_AVCODEC_ENTRIES)
SNIP_BIND_FAMILY(AVCore, SNIP_SWRESAMPLE_ENTRIES)
SNIP_BIND_FAMILY(AVDevice, SNIP_AVDEVICE_ENTRIES)
SNIP_BIND_FAMILY(AVFilter, SNIP_AVFILTER_ENTRIES)
SNIP_BIND_FAMILY(AVFormat, SNIP_AVFORMAT_ENTRIES)
SNIP_BIND_FAMILY(AVUtil, SNIP_AVUTIL_ENTRIES)
SNIP_BIND_FAMILY(SwScale, SNIP_SWSCALE_ENTRIES)
SNIP_BIND_FAMILY(MSVCRT, SNIP_LIBC_ENTRIES)
SNIP_BIND_FAMILY(SDL, SNIP_SDL_ENTRIES)

#undef SNIP_BIND_FAMILY
#undef SNIP_UNBIND_ENTRY
#undef SNIP_BIND_ENTRY

// Major version reported by a library's own version function, found at address.
int FFmpegMajor(void* address) {
    return int(AV_VERSION_MAJOR(reinterpret_cast<unsigned (*)()>(address)()));
}

int SDLMajor(void* address) {
    SDL_version version{};
    reinterpret_cast<decltype(&::SDL_GetVersion)>(address)(&version);
    return version.major;
}

void RegisterDevices() {
    ff::avdevice_register_all();
}

#define SNIP_SONAME(name, major) "lib" name ".so." AV_STRINGIFY(major)

struct TLibraryItem {
    TLibraryKind Kind;
    const char* Name;     // base name, as in messages of the components
    const char* FileName; // soname our headers were written for
    // The major the headers describe, checked through VersionSymbol before anything is bound;
    // -1 for a library whose soname is all the check it gets (the C runtime).
    int Major;
    const char* VersionSymbol;
    int (*RunningMajor)(void* versionAddress);
    bool (*Bind)(void* handle, const QByteArray& file, std::string& error);
    void (*Unbind)();
    std::span<const TDataSymbol> Variables;
    void (*Register)(); // the library's own registration, once bound; may be nullptr
};

// clang-format off
const TLibraryItem LibraryItems[LibraryKindCount] = {
    {lkAVCodec, "avcodec", SNIP_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR),
     LIBAVCODEC_VERSION_MAJOR, "avcodec_version", FFmpegMajor, BindAVCodec, UnbindAVCodec, {},
     nullptr},
    {lkAVCore, "swresample", SNIP_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR),
     LIBSWRESAMPLE_VERSION_MAJOR, "swresample_version", FFmpegMajor, BindAVCore, UnbindAVCore, {},
     nullptr},
    {lkAVDevice, "avdevice", SNIP_SONAME("avdevice", LIBAVDEVICE_VERSION_MAJOR),
     LIBAVDEVICE_VERSION_MAJOR, "avdevice_version", FFmpegMajor, BindAVDevice, UnbindAVDevice, {},
     RegisterDevices},
    {lkAVFilter, "avfilter", SNIP_SONAME("avfilter", LIBAVFILTER_VERSION_MAJOR),
     LIBAVFILTER_VERSION_MAJOR, "avfilter_version", FFmpegMajor, BindAVFilter, UnbindAVFilter, {},
     nullptr},
    {lkAVFormat, "avformat", SNIP_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR),
     LIBAVFORMAT_VERSION_MAJOR, "avformat_version", FFmpegMajor, BindAVFormat, UnbindAVFormat, {},
     nullptr},
    {lkAVUtil, "avutil", SNIP_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), LIBAVUTIL_VERSION_MAJOR,
     "avutil_version", FFmpegMajor, BindAVUtil, UnbindAVUtil, {}, nullptr},
    {lkSwScale, "swscale", SNIP_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR),
     LIBSWSCALE_VERSION_MAJOR, "swscale_version", FFmpegMajor, BindSwScale, UnbindSwScale, {},
     nullptr},
    {lkMSVCRT, "c", LIBC_SO, -1, nullptr, nullptr, BindMSVCRT, UnbindMSVCRT, {}, nullptr},
    {lkSDL, "SDL2", "libSDL2-2.0.so.0", SDL_MAJOR_VERSION, "SDL_GetVersion", SDLMajor, BindSDL,
     UnbindSDL, {}, nullptr},
};
// clang-format on

#undef SNIP_SONAME

// Checks the running library's major against the headers, then binds every entry point and
// data symbol and runs the library's registration.
bool BindLibrary(const TLibraryItem& item, void* handle, const QByteArray& file,
                 const QByteArray& shownName, std::string& error) {
    if (item.VersionSymbol) {
        dlerror();
        void* address = dlsym(handle, item.VersionSymbol);
        if (!address) {
            error = Format("Load function %s@%s error: %s", item.VersionSymbol, file.constData(),
                           DlErrorText());
            return false;
        }
        const int running = item.RunningMajor(address);
        if (running != item.Major) {
            error = Format("Load library %s error: major version %d found, %d required",
                           shownName.constData(), running, item.Major);
            return false;
        }
    }
    if (!item.Bind(handle, file, error) || !BindVariables(handle, item.Variables, file, error))
        return false;
    if (item.Register)
        item.Register();
    return true;
}

void UnbindLibrary(const TLibraryItem& item) {
    item.Unbind();
    for (const TDataSymbol& symbol : item.Variables)
        *symbol.Target = nullptr;
}

// The log bridge takes over avutil's log output each time avutil is bound.
void InstallLogBridge() {
    ActiveLogger()->InstallCallback();
}

// The wide-name file protocol checks, once per process, what it needs from libavformat.
void PrepareUnicodeProtocol() {
    RegisterUnicodeProtocol();
}

} // namespace

TFFLoader::TFFLoader() {
    // The codec lock must outlive the loader, whose shut-down waits on it.
    CodecLock();
    for (int kind = 0; kind < LibraryKindCount; ++kind)
        FStatus[kind].Kind = TLibraryKind(kind);
    // Library code (and the float maths of the engine) must never trap on an FP exception; the
    // caller's environment is given back at shut-down.
    std::fegetenv(&FSavedFPEnv);
    fedisableexcept(FE_ALL_EXCEPT);
}

TFFLoader::~TFFLoader() {
    // Waits for a codec open or close still running on a worker thread.
    { const auto wait = LockCodecs(); }
    std::fesetenv(&FSavedFPEnv);
    UnloadLibs(AllLibraries);
}

QString TFFLoader::LibraryFileName(TLibraryKind kind) const {
    const QString& overridden = FStatus[kind].FileName;
    return overridden.isEmpty() ? QString::fromLatin1(LibraryItems[kind].FileName) : overridden;
}

void TFFLoader::SetLibraryFileName(TLibraryKind kind, const QString& fileName) {
    FStatus[kind].FileName = fileName;
}

bool TFFLoader::OpenLibrary(TLibraryKind kind, QByteArray& file) {
    QString name = LibraryFileName(kind);
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    QString folder = slash >= 0 ? name.left(slash + 1) : QString();
    name = name.mid(slash + 1);
    if (folder.isEmpty() && !FLibraryPath.isEmpty()) {
        folder = FLibraryPath;
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
    }
    const QString shown = folder + name;
    if (name.isEmpty()) {
        // dlopen of an empty name would hand back the program itself.
        FLastError =
            Format("Load library %s error: %s", shown.toLocal8Bit().constData(), "no file name");
        return false;
    }

    const QFileInfo inFolder(shown);
    const bool useFolder = !folder.isEmpty() && inFolder.exists() && !inFolder.isDir();
    file = (useFolder ? shown : name).toLocal8Bit();
    dlerror();
    void* handle = OpenModule(file.constData());
    if (!handle) {
        FLastError =
            Format("Load library %s error: %s", shown.toLocal8Bit().constData(), DlErrorText());
        return false;
    }
    FStatus[kind].Handle = handle;
    FShownName[kind] = shown.toLocal8Bit();
    return true;
}

bool TFFLoader::LoadLib(TLibraryKind kind) {
    TLibraryStatus& status = FStatus[kind];
    if (!status.Handle) {
        QByteArray file;
        if (!OpenLibrary(kind, file))
            return false;
        FLoadedFile[kind] = file;
    }
    if (!status.Bound) {
        std::string error;
        if (BindLibrary(LibraryItems[kind], status.Handle, FLoadedFile[kind], FShownName[kind],
                        error))
            status.Bound = true;
        else
            FLastError = error;
    }
    if (!status.Bound) {
        UnloadLib(kind);
        return false;
    }
    AfterLoad(kind);
    return true;
}

void TFFLoader::AfterLoad(TLibraryKind kind) {
    if (kind == lkAVUtil && HookLog)
        InstallLogBridge();
    else if (kind == lkAVFormat)
        PrepareUnicodeProtocol();
}

void TFFLoader::UnloadLib(TLibraryKind kind) {
    TLibraryStatus& status = FStatus[kind];
    // Unbound even after a failed binding: the entries found so far point into the module that
    // is about to be unmapped.
    UnbindLibrary(LibraryItems[kind]);
    status.Bound = false;
    if (status.Handle) {
        dlclose(status.Handle);
        status.Handle = nullptr;
    }
}

bool TFFLoader::LoadLibs(TLibrarySet libs) {
    // A failure takes back only what this call loaded: libraries that were loaded before belong
    // to other components, whose open files and contexts still run on their code.
    TLibrarySet loadedHere = 0;
    for (int kind = 0; kind < LibraryKindCount; ++kind) {
        const TLibraryKind k = TLibraryKind(kind);
        if (!(libs & LibraryBit(k)))
            continue;
        const bool loadedBefore = LibLoaded(k);
        if (!LoadLib(k)) { // leaves k itself unloaded
            UnloadLibs(loadedHere);
            return false;
        }
        if (!loadedBefore)
            loadedHere |= LibraryBit(k);
    }
    return true;
}

void TFFLoader::UnloadLibs(TLibrarySet libs) {
    for (int kind = 0; kind < LibraryKindCount; ++kind)
        if (libs & LibraryBit(TLibraryKind(kind)))
            UnloadLib(TLibraryKind(kind));
}

bool TFFLoader::LibLoaded(TLibraryKind kind) const {
    return FStatus[kind].Handle && FStatus[kind].Bound;
}

bool TFFLoader::LibsLoaded(TLibrarySet libs) const {
    for (int kind = 0; kind < LibraryKindCount; ++kind)
        if ((libs & LibraryBit(TLibraryKind(kind))) && !LibLoaded(TLibraryKind(kind)))
            return false;
    return true;
}

TFFLoader& FFLoader() {
    static TFFLoader loader;
    return loader;
}

std::mutex& CodecLock() {
    // Guards nothing of the loader's own: every codec open and close of every component.
    static std::mutex lock;
    return lock;
}

TCodecLockGuard::TCodecLockGuard() {
    std::mutex& lock = CodecLock();
    if (QCoreApplication::instance() == nullptr || !IsMainThread()) {
        lock.lock();
    } else {
        while (!lock.try_lock()) {
            PumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    FHeld = true;
    MarkCodecLockHeld(true);
}

TCodecLockGuard::~TCodecLockGuard() {
    unlock();
}

void TCodecLockGuard::unlock() {
    if (!FHeld)
        return;
    FHeld = false;
    MarkCodecLockHeld(false);
    CodecLock().unlock();
    DeliverHeldLogLines();
}

TCodecLockGuard LockCodecs() {
    return TCodecLockGuard();
}

namespace {
// Created at start-up like the other process-wide objects, so the FP environment saved is the
// one the program started with.
[[maybe_unused]] TFFLoader& StartupLoader = FFLoader();
} // namespace
