// The loader against the installed FFmpeg 5.1 and SDL 2 libraries, and against small stand-in
// libraries built beside the tests (tests/media/testlibs). The loader is process-wide, so every
// test starts and ends with nothing loaded and no overrides.

#include "media/FFBaseComponent.h"
#include "media/FFEntryPoints.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/FrameHook.h"
#include "media/MyUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <chrono>
#include <dlfcn.h>
#include <fstream>
#include <future>
#include <link.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const TLibraryKind AllKinds[] = {lkAVCodec, lkAVCore,  lkAVDevice, lkAVFilter, lkAVFormat,
                                 lkAVUtil,  lkSwScale, lkMSVCRT,   lkSDL};

void ResetLoader() {
    TFFLoader& loader = FFLoader();
    loader.UnloadLibs(AllLibraries);
    loader.SetLibraryPath(QString());
    for (TLibraryKind kind : AllKinds)
        loader.SetLibraryFileName(kind, QString());
}

class LoaderTest : public testing::Test {
protected:
    void SetUp() override { ResetLoader(); }
    void TearDown() override { ResetLoader(); }
};

int LoadedObjectCount() {
    int count = 0;
    dl_iterate_phdr([](dl_phdr_info*, size_t, void* data) { return ++*static_cast<int*>(data), 0; },
                    &count);
    return count;
}

bool Mapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(path) != std::string::npos)
            return true;
    return false;
}

// The path the dynamic linker recorded for a loaded kind: the name given to dlopen, or where
// the system search found it.
std::string LoadedPath(TLibraryKind kind) {
    link_map* map = nullptr;
    if (dlinfo(FFLoader().Status(kind).Handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return {};
    return map->l_name;
}

// One bound entry of each kind, to see the tables filled and cleared.
void* OneEntry(TLibraryKind kind) {
    switch (kind) {
    case lkAVCodec:
        return reinterpret_cast<void*>(ff::avcodec_find_decoder);
    case lkAVCore:
        return reinterpret_cast<void*>(ff::swr_convert);
    case lkAVDevice:
        return reinterpret_cast<void*>(ff::avdevice_register_all);
    case lkAVFilter:
        return reinterpret_cast<void*>(ff::avfilter_graph_alloc);
    case lkAVFormat:
        return reinterpret_cast<void*>(ff::avformat_open_input);
    case lkAVUtil:
        return reinterpret_cast<void*>(ff::av_log);
    case lkSwScale:
        return reinterpret_cast<void*>(ff::sws_scale);
    case lkMSVCRT:
        return reinterpret_cast<void*>(ff::fopen);
    case lkSDL:
        return reinterpret_cast<void*>(ff::SDL_OpenAudio);
    }
    return nullptr;
}

bool InSet(TLibrarySet set, TLibraryKind kind) {
    return set & LibraryBit(kind);
}

} // namespace

namespace {

std::vector<std::string> HookLog;

void CaptureLog(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    HookLog.push_back(line);
}

template <class T> T HookSymbol(const char* library, const char* name) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    void* address = handle ? dlsym(handle, name) : nullptr;
    if (handle)
        dlclose(handle);
    return reinterpret_cast<T>(address);
}

} // namespace

TEST_F(LoaderTest, EveryComponentSetLoadsBindsAndUnloads) {
    TFFLoader& loader = FFLoader();
    EXPECT_EQ(loader.LibraryFileName(lkAVCodec), "libavcodec.so.59");
    EXPECT_EQ(loader.LibraryFileName(lkAVCore), "libswresample.so.4");
    EXPECT_EQ(loader.LibraryFileName(lkAVUtil), "libavutil.so.57");
    EXPECT_EQ(loader.LibraryFileName(lkMSVCRT), "libc.so.6");
    EXPECT_EQ(loader.LibraryFileName(lkSDL), "libSDL2-2.0.so.0");

    for (TLibrarySet set : {DecoderLibraries, EncoderLibraries, PlayerLibraries, AllLibraries}) {
        SCOPED_TRACE(set);
        ASSERT_TRUE(loader.LoadLibs(set)) << loader.LastError();
        EXPECT_TRUE(loader.LibsLoaded(set));
        for (TLibraryKind kind : AllKinds) {
            EXPECT_EQ(loader.LibLoaded(kind), InSet(set, kind)) << kind;
            EXPECT_EQ(OneEntry(kind) != nullptr, InSet(set, kind)) << kind;
        }
        // The bound entries reach the real libraries.
        EXPECT_EQ(AV_VERSION_MAJOR(ff::avcodec_version()), LIBAVCODEC_VERSION_MAJOR);
        EXPECT_NE(ff::avcodec_find_encoder_by_name("libmp3lame"), nullptr);
        char text[16];
        EXPECT_EQ(ff::snprintf(text, sizeof text, "%d", 42), 2);
        EXPECT_STREQ(text, "42");
        if (InSet(set, lkSDL)) {
            SDL_version version{};
            ff::SDL_GetVersion(&version);
            EXPECT_EQ(version.major, SDL_MAJOR_VERSION);
        }

        loader.UnloadLibs(set);
        EXPECT_FALSE(loader.LibsLoaded(set));
        for (TLibraryKind kind : AllKinds) {
            EXPECT_FALSE(loader.LibLoaded(kind)) << kind;
            EXPECT_EQ(loader.Status(kind).Handle, nullptr) << kind;
            EXPECT_EQ(OneEntry(kind), nullptr) << kind;
        }
    }
    EXPECT_FALSE(Mapped("libavcodec.so"));
}

TEST_F(LoaderTest, LoadingTwiceLoadsNothingNew) {
    TFFLoader& loader = FFLoader();
    ASSERT_TRUE(loader.LoadLibs(PlayerLibraries)) << loader.LastError();
    std::vector<void*> handles;
    for (TLibraryKind kind : AllKinds)
        handles.push_back(loader.Status(kind).Handle);
    const int objects = LoadedObjectCount();

    EXPECT_TRUE(loader.LoadLibs(PlayerLibraries));
    EXPECT_TRUE(loader.LoadLibs(DecoderLibraries));
    EXPECT_EQ(LoadedObjectCount(), objects);
    for (TLibraryKind kind : AllKinds)
        EXPECT_EQ(loader.Status(kind).Handle, handles[kind]) << kind;

    // Each successful load of avutil hands its log output to the bridge again, unless the
    // loader was told not to.
    HookLog.clear();
    ff::av_log_set_callback(CaptureLog);
    loader.HookLog = false;
    EXPECT_TRUE(loader.LoadLib(lkAVUtil));
    ff::av_log(nullptr, AV_LOG_ERROR, "kept\n");
    loader.HookLog = true;
    EXPECT_TRUE(loader.LoadLib(lkAVUtil));
    ff::av_log(nullptr, AV_LOG_ERROR, "bridged\n");
    EXPECT_EQ(HookLog, std::vector<std::string>{"kept\n"});
}

TEST_F(LoaderTest, LibraryPathFolderIsSearchedFirst) {
    TFFLoader& loader = FFLoader();
    // Where the system search finds each file, to link to it from a private folder.
    ASSERT_TRUE(loader.LoadLibs(AllLibraries)) << loader.LastError();
    std::vector<std::string> systemPaths;
    for (TLibraryKind kind : AllKinds)
        systemPaths.push_back(LoadedPath(kind));
    loader.UnloadLibs(AllLibraries);
    ASSERT_FALSE(Mapped("libavcodec.so"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (TLibraryKind kind : AllKinds)
        ASSERT_TRUE(QFile::link(QString::fromStdString(systemPaths[kind]),
                                folder.filePath(loader.LibraryFileName(kind))));
    const QByteArray pathBefore = qgetenv("PATH");
    const QString dirBefore = QDir::currentPath();

    loader.SetLibraryPath(folder.path()); // without the trailing "/": the loader adds it
    ASSERT_TRUE(loader.LoadLibs(AllLibraries)) << loader.LastError();
    // avcodec comes first in the load order, avdevice is no other library's dependency: both
    // are opened by their path in the folder. The rest may already be in as their dependencies.
    const std::string prefix = folder.path().toStdString() + "/";
    EXPECT_EQ(LoadedPath(lkAVCodec), prefix + "libavcodec.so.59");
    EXPECT_EQ(LoadedPath(lkAVDevice), prefix + "libavdevice.so.59");
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(ff::avcodec_version), &info), 0);
    EXPECT_EQ(std::string(info.dli_fname), prefix + "libavcodec.so.59");
    EXPECT_EQ(qgetenv("PATH"), pathBefore);
    EXPECT_EQ(QDir::currentPath(), dirBefore);
}

TEST_F(LoaderTest, MissingFileFailsAndUnloadsWhatTheCallLoaded) {
    TFFLoader& loader = FFLoader();
    // Another component's libraries, and one outside the requested set.
    ASSERT_TRUE(loader.LoadLibs(DecoderLibraries)) << loader.LastError();
    ASSERT_TRUE(loader.LoadLib(lkSDL)) << loader.LastError();

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    loader.SetLibraryFileName(lkAVFilter, "libsnipwave-absent.so.8");
    loader.SetLibraryPath(folder.path() + "/");
    EXPECT_FALSE(loader.LoadLibs(EncoderLibraries));
    const std::string expected =
        "Load library " + folder.path().toStdString() + "/libsnipwave-absent.so.8 error: ";
    EXPECT_EQ(loader.LastError().substr(0, expected.size()), expected) << loader.LastError();
    EXPECT_NE(loader.LastError().find("libsnipwave-absent.so.8: cannot open shared object"),
              std::string::npos)
        << loader.LastError();

    // The libraries another component loaded stay bound; those this call loaded are gone.
    for (TLibraryKind kind : AllKinds) {
        const bool kept = kind == lkSDL || InSet(DecoderLibraries, kind);
        EXPECT_EQ(loader.LibLoaded(kind), kept) << kind;
        EXPECT_EQ(OneEntry(kind) != nullptr, kept) << kind;
    }
    EXPECT_TRUE(Mapped("libavcodec.so"));
    EXPECT_NE(ff::avcodec_version(), 0u);

    // With nothing loaded before, the failed call leaves nothing loaded.
    loader.UnloadLibs(0x01FF);
    EXPECT_FALSE(loader.LoadLibs(EncoderLibraries));
    for (TLibraryKind kind : AllKinds)
        EXPECT_FALSE(loader.LibLoaded(kind)) << kind;
    EXPECT_FALSE(Mapped("libavcodec.so"));
}

TEST_F(LoaderTest, LibraryLackingAnEntryPointIsRefusedAndUnloaded) {
    TFFLoader& loader = FFLoader();
    const std::string fake = SNIP_FAKE_SWSCALE;
    loader.SetLibraryFileName(lkSwScale, QString::fromStdString(fake));
    EXPECT_EQ(loader.LibraryFileName(lkSwScale).toStdString(), fake);

    EXPECT_FALSE(loader.LoadLib(lkSwScale));
    EXPECT_EQ(loader.LastError(), "Load function sws_scale@" + fake + " error: " + fake +
                                      ": undefined symbol: sws_scale");
    EXPECT_EQ(loader.Status(lkSwScale).Handle, nullptr);
    EXPECT_FALSE(loader.Status(lkSwScale).Bound);
    // Entries found before the missing one must not point into the unmapped file.
    EXPECT_EQ(ff::swscale_version, nullptr);
    EXPECT_EQ(ff::sws_getContext, nullptr);
    EXPECT_FALSE(Mapped(fake));

    // In a set, the failure takes the libraries loaded before it down too.
    EXPECT_FALSE(loader.LoadLibs(DecoderLibraries));
    EXPECT_FALSE(loader.LibLoaded(lkAVCodec));
    EXPECT_EQ(ff::avcodec_version, nullptr);

    // A later success leaves the message of the last failure.
    const std::string failure = loader.LastError();
    EXPECT_TRUE(loader.LoadLib(lkMSVCRT));
    EXPECT_EQ(loader.LastError(), failure);

    // A file without the version function at all is refused by name of that function.
    loader.SetLibraryFileName(lkAVCodec, QString::fromStdString(fake));
    EXPECT_FALSE(loader.LoadLib(lkAVCodec));
    EXPECT_EQ(loader.LastError().rfind("Load function avcodec_version@" + fake + " error: ", 0), 0u)
        << loader.LastError();
}

TEST_F(LoaderTest, LibraryOfAnotherMajorIsRefused) {
    TFFLoader& loader = FFLoader();
    const std::string fake = SNIP_FAKE_AVUTIL;
    loader.SetLibraryFileName(lkAVUtil, QString::fromStdString(fake));
    EXPECT_FALSE(loader.LoadLib(lkAVUtil));
    EXPECT_EQ(loader.LastError(), "Load library " + fake + " error: major version " +
                                      std::to_string(LIBAVUTIL_VERSION_MAJOR + 1) + " found, " +
                                      std::to_string(LIBAVUTIL_VERSION_MAJOR) + " required");
    EXPECT_FALSE(loader.LibLoaded(lkAVUtil));
    EXPECT_EQ(ff::avutil_version, nullptr);
    EXPECT_FALSE(Mapped(fake));
}

TEST_F(LoaderTest, ComponentsLoadTheirSetAndKeepTheMessage) {
    TFFBaseComponent decoder(DecoderLibraries);
    EXPECT_TRUE(decoder.TriggerEventInMainThread());
    EXPECT_FALSE(decoder.LibrariesLoaded());

    FFLoader().SetLibraryFileName(lkSwScale, SNIP_FAKE_SWSCALE);
    EXPECT_FALSE(decoder.LoadLibraries("/nonexistent/folder/"));
    EXPECT_EQ(FFLoader().LibraryPath(), "/nonexistent/folder/");
    EXPECT_TRUE(decoder.LastErrorText().startsWith("Load function sws_scale@"))
        << decoder.LastErrorText().toStdString();
    EXPECT_FALSE(decoder.LibrariesLoaded());

    FFLoader().SetLibraryFileName(lkSwScale, QString());
    // A folder without the files falls back to the system search.
    EXPECT_TRUE(decoder.LoadLibraries("/nonexistent/folder/"))
        << decoder.LastErrorText().toStdString();
    EXPECT_TRUE(decoder.LibrariesLoaded());
    TFFBaseComponent player(PlayerLibraries);
    EXPECT_FALSE(player.LibrariesLoaded()); // no avfilter or SDL yet
}

TEST(LoaderFloatingPoint, ExceptionsMaskedWhileTheLoaderLivesAndRestoredAfter) {
    EXPECT_EQ(fegetexcept() & FE_ALL_EXCEPT, 0); // the process-wide loader masked them
    feenableexcept(FE_DIVBYZERO);
    {
        TFFLoader second;
        EXPECT_EQ(fegetexcept() & FE_ALL_EXCEPT, 0);
    }
    EXPECT_EQ(fegetexcept() & FE_ALL_EXCEPT, FE_DIVBYZERO);
    fedisableexcept(FE_ALL_EXCEPT);
}

TEST_F(LoaderTest, FrameHooksAreAddedRunAndReleased) {
    ASSERT_TRUE(FFLoader().LoadLib(lkAVUtil)) << FFLoader().LastError();
    HookLog.clear();
    ff::av_log_set_callback(CaptureLog);
    // Not a hook at all: the C maths library has no Process.
    const QString add = SNIP_HOOK_ADD, bare = SNIP_HOOK_BARE, noHook = "libm.so.6";

    TFrameHookList hooks;
    EXPECT_EQ(AddFrameHook(hooks, QStringList{}), -2);
    EXPECT_EQ(AddFrameHook(hooks, {"/nonexistent/hook.so"}), -1);
    EXPECT_EQ(AddFrameHook(hooks, {noHook}), -2);
    EXPECT_EQ(AddFrameHook(hooks, {bare, "an-argument"}), -2);
    EXPECT_EQ(AddFrameHook(hooks, {add, "refuse"}), -22);
    ASSERT_EQ(HookLog.size(), 4u);
    EXPECT_NE(HookLog[0].find("/nonexistent/hook.so"), std::string::npos) << HookLog[0];
    EXPECT_EQ(HookLog[1], "Failed to find Process entrypoint in " + noHook.toStdString() + "\n");
    EXPECT_EQ(HookLog[2], "Failed to find Configure entrypoint in " + bare.toStdString() + "\n");
    EXPECT_EQ(HookLog[3], "Failed to Configure " + add.toStdString() + "\n");
    EXPECT_TRUE(hooks.Empty());

    EXPECT_EQ(AddFrameHook(hooks, {add, "5"}), 0);
    EXPECT_EQ(AddFrameHook(hooks, {bare}), 0);
    EXPECT_EQ(hooks.Count(), 2);
    const std::string addPath = add.toStdString();
    ASSERT_EQ(HookSymbol<int (*)()>(addPath.c_str(), "hook_configured_argc")(), 2);

    // 4x2 grey picture in rows of 8 bytes; the hooks run in the order they were added.
    uint8_t pixels[16] = {};
    SnipHookPicture picture{{pixels, nullptr, nullptr, nullptr}, {8, 0, 0, 0}};
    hooks.Run(picture, AV_PIX_FMT_GRAY8, 4, 2, 0);
    EXPECT_EQ(pixels[0], 4); // set by the second hook after the first added 5
    EXPECT_EQ(pixels[1], 5);
    EXPECT_EQ(pixels[8 + 3], 5);
    EXPECT_EQ(pixels[4], 0); // beyond the width

    auto released = HookSymbol<int (*)()>(addPath.c_str(), "hook_released");
    const int releasedBefore = released();
    hooks.Release();
    EXPECT_TRUE(hooks.Empty());
    EXPECT_EQ(released(), releasedBefore + 1);
    EXPECT_TRUE(Mapped(addPath)); // hook libraries stay for the program's life
}

namespace {

TEST_F(LoaderTest, AHookFailureLoggedToTheMainThreadDoesNotHoldUpOtherHooks) {
    using namespace std::chrono_literals;
    ASSERT_TRUE(FFLoader().LoadLib(lkAVUtil)) << FFLoader().LastError();
    TFFLogger logger; // delivers in the main thread, the worker waiting for it
    std::vector<QString> lines;
    std::future<int> otherTask;
    bool otherTaskWaited = false;
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString& msg) {
        lines.push_back(msg);
        // Meanwhile another task adds its hook; it must not wait for this delivery to end.
        otherTask = std::async(std::launch::async, [] {
            TFrameHookList hooks;
            return AddFrameHook(hooks, {QString(SNIP_HOOK_BARE)});
        });
        otherTaskWaited = otherTask.wait_for(5s) != std::future_status::ready;
    });

    std::atomic<bool> done{false};
    int result = 0;
    std::thread worker([&] {
        TFrameHookList hooks;
        result = AddFrameHook(hooks, {"/nonexistent/hook.so"});
        done = true;
    });
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done && std::chrono::steady_clock::now() < end) {
        PumpMessages();
        QThread::msleep(1);
    }
    worker.join();
    EXPECT_EQ(result, -1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].contains("/nonexistent/hook.so")) << lines[0].toStdString();
    EXPECT_FALSE(otherTaskWaited);
    ASSERT_TRUE(otherTask.valid());
    EXPECT_EQ(otherTask.get(), 0);
}

} // namespace
