#include "media/encode/component/TCustomEncoder.h"

#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/encode/component/TConvertThread.h"
#include "media/encode/TFFmpeg.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

struct TCustomEncoder::TTask {
    std::unique_ptr<TFFmpeg> Engine;
    // Copies of the records each input and output was opened with, by file index.
    std::array<std::optional<TInputOptions>, ffopt::MaxFiles> InputOptions;
    std::array<std::optional<TOutputOptions>, ffopt::MaxFiles> OutputOptions;
    // What the video hook handlers of this task get: the task's own, so handlers of tasks on
    // other workers never see (or outlive) this task's bitmap. The task's input and output
    // hooks run on its one worker, one after the other.
    THookInfo HookInfo;
};

namespace {

// The engines whose handler is running on this thread, innermost last. A handler that stops
// the tasks with waiting must not wait for the worker that is waiting for it.
thread_local std::vector<const TCustomFFmpeg*> HandlersRunning;

struct THandlerScope {
    explicit THandlerScope(const TCustomFFmpeg* engine) { HandlersRunning.push_back(engine); }
    ~THandlerScope() { HandlersRunning.pop_back(); }
};

bool InHandlerOf(const TCustomFFmpeg* engine) {
    return std::find(HandlersRunning.begin(), HandlersRunning.end(), engine) !=
           HandlersRunning.end();
}

// A handler's failure is the owner's bug; it is logged, and the run it came from goes on.
void LogHandlerFailure(QObject* sender, const char* event) {
    try {
        throw;
    } catch (const std::exception& e) {
        ActiveLogger()->LogFmt(sender, llError, "%s handler failed: %s", event, e.what());
    } catch (...) {
        ActiveLogger()->LogFmt(sender, llError, "%s handler failed", event);
    }
}

// The per-stream option names that the defaults list collects from the extra lines.
bool IsStreamDefault(const std::string& name) {
    for (const char* n : {"acodec", "vcodec", "scodec", "apre", "vpre", "spre", "s", "vf"})
        if (name == n)
            return true;
    return false;
}

// The defaults list of an output: the record's values for the first stream of each kind, and
// the extra lines that later "new..." lines consume in order.
class TStreamDefaults {
public:
    TStreamDefaults(const TOutputOptions& o) {
        Defaults = {{"acodec", o.AudioCodec}, {"vcodec", o.VideoCodec}, {"scodec", o.SubtitleCodec},
                    {"apre", o.AudioPreset},  {"vpre", o.VideoPreset},  {"spre", o.SubtitlePreset},
                    {"s", o.FrameSize},       {"vf", o.VideoFilters}};
        for (auto [name, value] : SplitOptionString(o.ExtOptions)) {
            if (name == "vfilters")
                name = "vf";
            if (!IsStreamDefault(name) || value.empty())
                continue;
            std::string& def = Default(name);
            if (def.empty())
                def = value;
            Pending.emplace_back(name, value);
        }
    }

    std::string& Default(const std::string& name) {
        for (auto& [n, v] : Defaults)
            if (n == name)
                return v;
        throw std::logic_error("no default for " + name);
    }

    // The first pending line named name (removed from the list), else the default.
    std::string Take(const std::string& name) {
        for (auto it = Pending.begin(); it != Pending.end(); ++it)
            if (it->first == name) {
                std::string value = it->second;
                Pending.erase(it);
                return value;
            }
        return Default(name);
    }

private:
    std::vector<std::pair<std::string, std::string>> Defaults;
    std::vector<std::pair<std::string, std::string>> Pending;
};

void SetGeneric(TFFmpeg& engine, const char* name, int value) {
    if (value <= 0)
        return;
    const std::string text = std::to_string(value);
    if (!engine.SetGenericOption(name, text))
        throw FFmpegException::Format("Failed to set value '%s' for option '%s'", text.c_str(),
                                      name);
}

const char* TargetNormName(int norm) {
    return norm == 1 ? "pal" : norm == 2 ? "ntsc" : "auto";
}

} // namespace

TCustomEncoder::TCustomEncoder(QObject* parent)
    : TFFBaseComponent(EncoderLibraries, parent),
      FNotifier([this](const TTerminateInfo& info) { RaiseTerminate(info); }) {}

TCustomEncoder::~TCustomEncoder() {
    Shutdown();
}

// First nothing may start any more, so a worker that ends cannot take a waiting task; then the
// handlers are forgotten, each once its call in flight has returned, so nothing reaches the owner
// any more; then every engine is stopped with its worker joined; last the notification thread.
void TCustomEncoder::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        FShutDown = true;
        FRemaining = 0;
    }
    SetOnAudioHook(nullptr);
    SetOnPreviewBitmap(nullptr);
    SetOnProgress(nullptr);
    SetOnTerminate(nullptr);
    SetOnVideoInputHook(nullptr);
    SetOnVideoOutputHook(nullptr);
    FreeTasks();
    FNotifier.Stop();
}

int TCustomEncoder::PreviewFlagsOf(bool preview, bool previewBitmap) {
    return (preview ? PreviewToWindow : 0) | (previewBitmap ? PreviewToBitmap : 0);
}

// Running engines see the change at their next picture.
void TCustomEncoder::SetPreview(bool value) {
    FPreview = value;
    for (const auto& task : FTasks)
        task->Engine->SetPreviewFlags(PreviewFlagsOf(FPreview, FPreviewBitmap));
}
void TCustomEncoder::SetPreviewBitmap(bool value) {
    FPreviewBitmap = value;
    for (const auto& task : FTasks)
        task->Engine->SetPreviewFlags(PreviewFlagsOf(FPreview, FPreviewBitmap));
}

void TCustomEncoder::SetProgressInterval(int ms) {
    // The engine measures its reports in this interval; shorter ones would flood the owner.
    FProgressInterval = ms <= 100 ? 100 : ms;
}

void TCustomEncoder::CheckNotWorking(const char* action) const {
    bool walking;
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        walking = FWalking > 0 || FFreeing;
    }
    if (FWorking.load() || walking)
        throw std::logic_error(QString::asprintf("Cannot %s while working.", action).toStdString());
}

int TCustomEncoder::TaskIndexOf(const TCustomFFmpeg* engine) const {
    for (size_t i = 0; i < FTasks.size(); ++i)
        if (FTasks[i]->Engine.get() == engine)
            return int(i);
    return -1;
}

int TCustomEncoder::AddTask(const QString& fileName, TInputOptions* options) {
    CheckNotWorking("AddTask");
    auto task = std::make_unique<TTask>();
    task->Engine = std::make_unique<TFFmpeg>();
    TFFmpeg& engine = *task->Engine;
    try {
        engine.ResetOptions();
        engine.SetVerbose(FVerbose);
        engine.SetPreviewFlags(PreviewFlagsOf(FPreview, FPreviewBitmap));
    } catch (const std::exception& e) {
        SetLastErrorText(QString::fromLocal8Bit(e.what()));
        return -1;
    }
    engine.OnPreviewBitmapCallback = [this](TCustomFFmpeg* sender, TBitmap& bitmap, int64_t pts,
                                            int frame) {
        DoPreviewBitmap(sender, TPreviewInfo{TaskIndexOf(sender), &bitmap, frame, pts});
    };
    engine.PreviewWindowFactory = FPreviewerFactory;
    if (!OpenTaskInput(*task, fileName, options))
        return -1;
    engine.OnProgressCallback = [this](TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                                       int64_t currentTime, int64_t totalSize, float bitRate,
                                       float quality, int fps, int frameNumber) {
        DoProgress(sender, fileIndex, totalDuration, currentTime, totalSize, bitRate, quality, fps,
                   frameNumber);
    };
    engine.OnTerminateCallback = [this](TCustomFFmpeg* sender) { DoTerminate(sender); };
    FTasks.push_back(std::move(task));
    return int(FTasks.size()) - 1;
}

bool TCustomEncoder::AddTaskInput(int taskIndex, const QString& fileName, TInputOptions* options) {
    CheckNotWorking("AddTask");
    if (taskIndex < 0 || taskIndex >= TaskCount())
        throw std::out_of_range(
            QString::asprintf("List index out of bounds (%d)", taskIndex).toStdString());
    TTask& task = *FTasks[size_t(taskIndex)];
    TFFmpeg& engine = *task.Engine;
    if (engine.InputFileCount() >= int(task.InputOptions.size())) {
        SetLastErrorText(
            QStringLiteral("max input files %1 reached").arg(task.InputOptions.size()));
        return false;
    }
    return OpenTaskInput(task, fileName, options);
}

bool TCustomEncoder::OpenTaskInput(TTask& task, const QString& fileName, TInputOptions* options) {
    TFFmpeg& engine = *task.Engine;
    try {
        if (options != nullptr) {
            if (options->FileName.isEmpty())
                options->FileName = fileName;
            task.InputOptions[size_t(engine.InputFileCount())] = *options;
            engine.ApplyOptionString(options->ExtOptions, true);
            // After the extra lines, so that a field that is set wins over them.
            engine.SetInputFormat(options->FileFormat);
            engine.SetStartTime(options->StartTime);
            engine.SetProgramId(options->ProgramId);
        }
        if (!engine.OpenInputFile(fileName)) {
            SetLastErrorText(QString::fromLocal8Bit(engine.LastErrorText()));
            return false;
        }
        const int index = engine.InputFileCount() - 1;
        engine.AttachInputProbe(index);
        if (options != nullptr && options->FrameIndex)
            engine.ShareInputFrameIndex(index, options->FrameIndex);
    } catch (const std::exception& e) {
        SetLastErrorText(QString::fromLocal8Bit(e.what()));
        return false;
    }
    return true;
}

TFFDecoder* TCustomEncoder::TaskInputProbe(int taskIndex, int inputIndex) const {
    if (taskIndex < 0 || taskIndex >= TaskCount())
        return nullptr;
    return FTasks[size_t(taskIndex)]->Engine->InputProbe(inputIndex);
}

bool TCustomEncoder::SetOutputFile(int taskIndex, const QString& fileName,
                                   TOutputOptions* options) {
    CheckNotWorking("SetOutputFile");
    if (taskIndex < 0 || taskIndex >= TaskCount())
        throw std::out_of_range(
            QString::asprintf("List index out of bounds (%d)", taskIndex).toStdString());
    TTask& task = *FTasks[taskIndex];
    TFFmpeg& engine = *task.Engine;
    const int slot = engine.OutputFileCount();
    if (slot >= engine.Options().MaxOutputFiles) {
        SetLastErrorText(QString::asprintf("max output files %d reached", slot));
        return false;
    }
    try {
        std::optional<TStreamDefaults> defaults;
        bool join = false;
        if (options != nullptr) {
            if (options->FileName.isEmpty())
                options->FileName = fileName;
            task.OutputOptions[slot] = *options;
            defaults.emplace(*options);
            if (options->TargetType >= 1 && options->TargetType <= 3) {
                static const char* const types[] = {"vcd", "svcd", "dvd"};
                engine.SetTarget(types[options->TargetType - 1],
                                 TargetNormName(options->TargetNorm),
                                 options->TargetDefaultNorm == 1 ? "pal" : "ntsc");
            }
            engine.SetAudioCodec(defaults->Default("acodec"));
            engine.SetVideoCodec(defaults->Default("vcodec"));
            engine.SetSubtitleCodec(defaults->Default("scodec"));
            for (const char* preset : {"apre", "vpre", "spre"})
                if (!defaults->Default(preset).empty())
                    engine.SetPreset(preset, defaults->Default(preset));
            engine.ApplyOptionString(options->ExtOptions, false);
            ApplyOutputOptions(engine, *options);
            engine.SetFrameSize(defaults->Default("s"));
            engine.SetVideoFilters(defaults->Default("vf"));
            if (options->AudioHook)
                engine.OnAudioHookCallback = [this](TCustomFFmpeg* sender, int64_t pts,
                                                    void* samples, int size, int sampleRate,
                                                    int channels, int sampleFormat) {
                    DoAudioHook(sender, pts, samples, size, sampleRate, channels, sampleFormat);
                };
            if (options->VideoInputHook)
                engine.OnVideoInputHookCallback = [this](TCustomFFmpeg* sender, TBitmap& bitmap,
                                                         bool& stop, bool& update, int64_t pts,
                                                         int frame) {
                    THookInfo info{TaskIndexOf(sender), &bitmap, frame, pts, stop, update};
                    DoVideoInputHook(sender, info);
                    stop = info.StopHook;
                    update = info.Update;
                };
            if (options->VideoOutputHook)
                engine.OnVideoOutputHookCallback = [this](TCustomFFmpeg* sender, TBitmap& bitmap,
                                                          bool& stop, bool& update, int64_t pts,
                                                          int frame) {
                    THookInfo info{TaskIndexOf(sender), &bitmap, frame, pts, stop, update};
                    DoVideoOutputHook(sender, info);
                    stop = info.StopHook;
                    update = info.Update;
                };
            engine.SetPreviewBitDepth(options->PreviewBitDepth);
            join = options->Join;
        } else if (task.OutputOptions[slot]) {
            task.OutputOptions[slot] = TOutputOptions();
        }

        if (engine.OpenOutputFile(fileName, join) < 0) {
            SetLastErrorText(QString::fromLocal8Bit(engine.LastErrorText()));
            if (task.OutputOptions[slot])
                task.OutputOptions[slot] = TOutputOptions();
            return false;
        }
        if (options != nullptr) {
            // Each "new..." line adds a stream to this output with the next pending options of
            // its kind.
            for (const auto& [name, value] : SplitOptionString(options->ExtOptions)) {
                std::vector<const char*> takes;
                if (name == "newaudio")
                    takes = {"acodec", "apre"};
                else if (name == "newvideo")
                    takes = {"vcodec", "vpre", "s", "vf"};
                else if (name == "newsubtitle")
                    takes = {"scodec", "spre"};
                else
                    continue;
                for (const char* option : takes) {
                    const std::string v = defaults->Take(option);
                    if (!v.empty())
                        engine.SetOption(option, v);
                }
                engine.SetOption(name, value);
            }
        }
        return true;
    } catch (const std::exception& e) {
        SetLastErrorText(QString::fromLocal8Bit(e.what()));
        return false;
    }
}

void TCustomEncoder::ApplyOutputOptions(TFFmpeg& engine, const TOutputOptions& o) {
    TFFOptionState& state = engine.Options();
    engine.SetInputFormat(o.FileFormat); // "f" applies to the next file opened, this output
    SetGeneric(engine, "packetsize", o.PacketSize);
    SetGeneric(engine, "muxrate", o.MuxRate);
    engine.SetMuxDelay(o.MuxDelay);
    engine.SetMuxPreload(o.MuxPreload);
    if (o.DisableAudio)
        state.AudioDisable = true;
    engine.SetAudioVolume(o.AudioVolume);
    engine.SetAudioChannels(o.AudioChannels);
    engine.SetAudioSampleRate(o.AudioSampleRate);
    SetGeneric(engine, "ab", o.AudioBitrate);
    SetGeneric(engine, "abt", o.AudioBitrateTolerance);
    // A field left at its default leaves what the option lines (ExtOptions) set: "alang",
    // "async", "vsync", "vlang", "slang", "isync" given there are kept.
    if (!o.AudioLanguage.empty())
        state.AudioLanguage = o.AudioLanguage;
    if (o.AudioSyncMethod != 0)
        engine.SetAudioSyncMethod(o.AudioSyncMethod);
    engine.SetAudioTag(o.AudioTag);
    if (o.DisableVideo)
        state.VideoDisable = true;
    engine.SetFrameRate(o.FrameRate);
    engine.SetAspect(o.Aspect);
    if (o.CropTop > 0)
        engine.SetCropTop(o.CropTop);
    if (o.CropBottom > 0)
        engine.SetCropBottom(o.CropBottom);
    if (o.CropLeft > 0)
        engine.SetCropLeft(o.CropLeft);
    if (o.CropRight > 0)
        engine.SetCropRight(o.CropRight);
    SetGeneric(engine, "g", o.GOPSize);
    SetGeneric(engine, "vb", o.VideoBitrate);
    SetGeneric(engine, "maxrate", o.MaxRate);
    SetGeneric(engine, "minrate", o.MinRate);
    SetGeneric(engine, "bt", o.VideoBitrateTolerance);
    SetGeneric(engine, "bufsize", o.BufSize);
    if (o.VideoSyncMethod != -1)
        engine.SetVideoSyncMethod(o.VideoSyncMethod);
    engine.SetVideoTag(o.VideoTag);
    if (!o.VideoLanguage.empty())
        state.VideoLanguage = o.VideoLanguage;
    if (o.DisableSubtitle)
        state.SubtitleDisable = true;
    if (!o.SubtitleLanguage.empty())
        state.SubtitleLanguage = o.SubtitleLanguage;
    if (o.InputSync)
        state.InputSync = true;
    if (o.CopyTS)
        state.CopyTs = true;
    engine.SetStartTime(o.StartTime);
    engine.SetRecordingTime(o.Duration);
    state.RequireRecordingTime = o.RequireDuration;
    state.NoReplace = o.NoReplace;
    ApplyStreamInfo(engine, o.Info);
}

void TCustomEncoder::ApplyStreamInfo(TFFmpeg& engine, const TStreamInfo& info) {
    if (info.Timestamp == 0) {
        engine.Options().RecordingTimestamp = QDateTime::currentSecsSinceEpoch();
    } else if (info.Timestamp > 0) {
        // Days since 1899-12-30 in local time; the zone offset is the one in force on that day.
        const double localSeconds = (info.Timestamp - 25569.0) * 86400.0;
        const QDateTime asUtc =
            QDateTime::fromSecsSinceEpoch(int64_t(std::floor(localSeconds)), Qt::UTC);
        const QDateTime local(asUtc.date(), asUtc.time(), Qt::LocalTime);
        engine.Options().RecordingTimestamp = std::llround(localSeconds - local.offsetFromUtc());
    }
    if (info.Year > 0)
        engine.AddMetadata("year", std::to_string(info.Year));
    if (info.Track > 0)
        engine.AddMetadata("track", std::to_string(info.Track));
    // The muxers of this library generation know the author as "artist".
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &info.Title},     {"artist", &info.Author}, {"copyright", &info.Copyright},
        {"comment", &info.Comment}, {"album", &info.Album},   {"genre", &info.Genre}};
    for (const auto& [key, value] : texts)
        if (!value->empty())
            engine.AddMetadata(key, *value);
}

void TCustomEncoder::RemoveTask(int taskIndex) {
    CheckNotWorking("RemoveTask");
    if (taskIndex < 0 || taskIndex >= TaskCount())
        throw std::out_of_range(
            QString::asprintf("List index out of bounds (%d)", taskIndex).toStdString());
    FTasks.erase(FTasks.begin() + taskIndex);
}

void TCustomEncoder::FreeTasks() {
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        FFreeing = true;
    }
    // Every worker and report thread is stopped and joined before anything is freed: until
    // then they may still look their engine up in the list.
    for (auto& task : FTasks)
        task->Engine->Stop(true);
    FTasks.clear();
    std::lock_guard<std::mutex> lock(FRunLock);
    FFreeing = false;
}

void TCustomEncoder::ClearTasks() {
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        if (FWalking > 0 || FFreeing || (FWorking.load() && !FAllFinished))
            throw std::logic_error("Cannot ClearTasks while working.");
        // From here until FreeTasks marks the list, a stop that begins finds nothing to walk.
        FFreeing = true;
    }
    FreeTasks();
    SetLastErrorText(QString());
    std::lock_guard<std::mutex> lock(FRunLock);
    FTerminatedCount = 0;
    FNextTask = -1;
    FRemaining = 0;
    FRunTaskCount = 0;
    FAllFinished = false;
    FThreaded = false;
    FWorking.store(false);
}

void TCustomEncoder::StartTask(int maxThreads) {
    CheckNotWorking("StartTask");
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        FTerminatedCount = 0;
        FNextTask = 0;
        FRunTaskCount = TaskCount();
        FRemaining = FRunTaskCount;
        FAllFinished = false;
        FThreaded = maxThreads > 0;
        FWorking.store(true);
        // A run without tasks has ended as it began. No task will ever report, so without this
        // the component would refuse ClearTasks, and with it every later run, for its life.
        if (FRemaining == 0)
            FAllFinished = true;
    }
    if (maxThreads > 0) {
        // A task that ends at once starts the next waiting one itself, on its worker; each start
        // here takes the next one still waiting, so no more than maxThreads run at once.
        for (; maxThreads > 0; --maxThreads) {
            TFFmpeg* engine;
            {
                std::lock_guard<std::mutex> lock(FRunLock);
                engine = TakeNextLocked();
            }
            if (engine == nullptr)
                break;
            StartEngine(*engine);
        }
        return;
    }
    // In the caller, one after another. Tasks a stop left waiting are reported here too, so every
    // event of the run, the final report included, is raised in the caller before we return.
    for (;;) {
        TFFmpeg* engine;
        bool stopped;
        {
            std::lock_guard<std::mutex> lock(FRunLock);
            if (FNextTask >= FRunTaskCount)
                break;
            stopped = FRemaining <= 0;
            engine = stopped ? FTasks[size_t(FNextTask++)]->Engine.get() : TakeNextLocked();
        }
        if (stopped)
            engine->TerminateHere();
        else
            StartEngine(*engine);
    }
}

TFFmpeg* TCustomEncoder::TakeNextLocked() {
    if (FRemaining <= 0 || FShutDown)
        return nullptr;
    --FRemaining;
    return FTasks[size_t(FNextTask++)]->Engine.get();
}

void TCustomEncoder::StartEngine(TFFmpeg& engine) {
    engine.ProgressInterval = int64_t(FProgressInterval.load()) * 1000;
    bool threaded;
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        threaded = FThreaded;
    }
    if (!threaded) {
        engine.Start(false, FThreadPriority);
    } else if (TConvertThread* thread = engine.Start(true, FThreadPriority)) {
        thread->Resume();
    }
}

void TCustomEncoder::StopTasks(bool wait) {
    bool threaded;
    int started;
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        FRemaining = 0;
        // Tasks being freed are being stopped already.
        if (!FWorking.load() || FFreeing)
            return;
        threaded = FThreaded;
        started = FNextTask;
        ++FWalking;
    }
    struct TWalkEnd {
        TCustomEncoder& E;
        ~TWalkEnd() {
            std::lock_guard<std::mutex> lock(E.FRunLock);
            --E.FWalking;
        }
    } walkEnd{*this};
    for (int i = 0; i < TaskCount(); ++i) {
        TFFmpeg& engine = *FTasks[size_t(i)]->Engine;
        // The worker waiting for the handler we are called from cannot end before we return.
        const bool waitHere = wait && !InHandlerOf(&engine);
        if (threaded)
            engine.Terminate(waitHere);
        else if (i < started)
            engine.Stop(waitHere); // the ones after it are reported by StartTask's loop
    }
}

THookInfo& TCustomEncoder::HookRecordOf(const TCustomFFmpeg* sender, THookInfo& fallback) {
    const int index = TaskIndexOf(sender);
    return index >= 0 ? FTasks[size_t(index)]->HookInfo : fallback;
}

// The video hooks run on the worker, one at a time per hook and component (their gate); an
// input hook of one task and an output hook of another may run at once, each on its own record. A
// handler's exception reaches the engine, which logs it and leaves the picture as it was.
void TCustomEncoder::DoVideoInputHook(TCustomFFmpeg* sender, THookInfo& info) {
    THandlerScope scope(sender);
    FOnVideoInputHook.Invoke([&](const TVideoHookEvent& handler) {
        THookInfo& record = HookRecordOf(sender, info);
        record = info;
        handler(this, &record);
        info.StopHook = record.StopHook;
        info.Update = record.Update;
    });
}

void TCustomEncoder::DoVideoOutputHook(TCustomFFmpeg* sender, THookInfo& info) {
    THandlerScope scope(sender);
    FOnVideoOutputHook.Invoke([&](const TVideoHookEvent& handler) {
        THookInfo& record = HookRecordOf(sender, info);
        record = info;
        handler(this, &record);
        info.StopHook = record.StopHook;
        info.Update = record.Update;
    });
}

void TCustomEncoder::RaiseWhereAsked(const char* event, const std::function<void()>& raise) {
    try {
        if (TriggerEventInMainThread())
            CallInMainThread(raise);
        else
            raise();
    } catch (...) {
        LogHandlerFailure(this, event);
    }
}

void TCustomEncoder::DoPreviewBitmap(TCustomFFmpeg* sender, const TPreviewInfo& info) {
    if (!FOnPreviewBitmap.Assigned())
        return;
    auto raise = [&] {
        THandlerScope scope(sender);
        FOnPreviewBitmap.Invoke([&](const TPreviewBitmapEvent& handler) {
            FPreviewInfo = info;
            handler(this, &FPreviewInfo);
        });
    };
    RaiseWhereAsked("OnPreviewBitmap", raise);
}

void TCustomEncoder::DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                                int64_t currentTime, int64_t totalSize, float bitRate,
                                float quality, int fps, int frameNumber) {
    if (!FOnProgress.Assigned())
        return;
    TProgressInfo info;
    info.TaskIndex = TaskIndexOf(sender);
    info.FileIndex = fileIndex;
    info.FrameNumber = frameNumber;
    info.FPS = fps;
    info.Quality = quality;
    info.BitRate = bitRate;
    info.TotalSize = totalSize;
    info.CurrentDuration = currentTime;
    info.TotalDuration = totalDuration;
    // The gate is entered on the thread that runs the handler, so the worker holds nothing
    // while it waits for the main thread.
    auto raise = [&] {
        THandlerScope scope(sender);
        FOnProgress.Invoke([&](const TProgressEvent& handler) {
            FProgressInfo = info;
            handler(this, &FProgressInfo);
        });
    };
    RaiseWhereAsked("OnProgress", raise);
}

void TCustomEncoder::DoAudioHook(TCustomFFmpeg* sender, int64_t pts, void* samples, int size,
                                 int sampleRate, int channels, int sampleFormat) {
    try {
        THandlerScope scope(sender);
        FOnAudioHook.Invoke([&](const TAudioHookEvent& handler) {
            handler(this, TaskIndexOf(sender), pts, samples, size, sampleRate, channels,
                    sampleFormat);
        });
    } catch (...) {
        LogHandlerFailure(this, "OnAudioHook");
    }
}

void TCustomEncoder::DoTerminate(TCustomFFmpeg* sender) {
    std::vector<TTerminateInfo> direct;
    TFFmpeg* next = nullptr;
    {
        std::lock_guard<std::mutex> lock(FRunLock);
        if (sender != nullptr) {
            // Copied now: the report must say what this task did, whenever it is delivered.
            const TTerminateInfo info{TaskIndexOf(sender), sender->Finished(), sender->Failed(),
                                      sender->ErrorText()};
            if (QueueTerminateLocked(info))
                direct.push_back(info);
            ++FTerminatedCount;
        }
        if (sender == nullptr || (FRemaining < 1 && FTerminatedCount >= FRunTaskCount)) {
            if (!FAllFinished || sender == nullptr) {
                const TTerminateInfo final{-1, true, false, std::string()};
                if (QueueTerminateLocked(final))
                    direct.push_back(final);
            }
            FAllFinished = true;
        } else if (FRemaining >= 1 && FThreaded) {
            // Taken under the lock, so two tasks ending at once cannot both take the same one;
            // started on this worker once the lock is free.
            next = TakeNextLocked();
        }
    }
    for (const TTerminateInfo& info : direct)
        RaiseTerminate(info);
    if (next != nullptr)
        StartEngine(*next);
}

bool TCustomEncoder::QueueTerminateLocked(const TTerminateInfo& info) {
    if (FThreaded || !FWorking.load()) {
        FNotifier.Post(info);
        return false;
    }
    return true;
}

void TCustomEncoder::RaiseTerminate(const TTerminateInfo& info) {
    try {
        FOnTerminate.Invoke([&](const TTerminateEvent& handler) {
            FTerminateInfo = info;
            handler(this, info);
        });
    } catch (...) {
        LogHandlerFailure(this, "OnTerminate");
    }
}
