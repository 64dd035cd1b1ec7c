#include "media/encode/TCustomEncoder.h"

#include "media/MyUtils.h"
#include "media/encode/TConvertThread.h"
#include "media/encode/TFFmpeg.h"

#include <QDateTime>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

struct TCustomEncoder::TTask {
    std::unique_ptr<TFFmpeg> Engine;
    // Copies of the records each input and output was opened with, by file index.
    std::array<std::optional<TInputOptions>, ffopt::MaxFiles> InputOptions;
    std::array<std::optional<TOutputOptions>, ffopt::MaxFiles> OutputOptions;
};

namespace {

// Takes a lock that a worker may hold while it waits for the main thread (an event delivered
// there). On the main thread the wait keeps running main-thread calls, so it cannot deadlock.
template <class Lock> std::unique_lock<Lock> LockPumping(Lock& lock) {
    std::unique_lock<Lock> guard(lock, std::defer_lock);
    if (!IsMainThread()) {
        guard.lock();
        return guard;
    }
    while (!guard.try_lock()) {
        PumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return guard;
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
      FDelivery(std::make_shared<ffencode::TTerminateDelivery>()) {}

// Handlers are forgotten first, each once its family's event in flight has returned, so nothing
// reaches the owner any more; then every engine is stopped with its worker joined while the task
// list is still whole (a worker that ends looks its engine up there); last the notification
// threads already started are let finish.
TCustomEncoder::~TCustomEncoder() {
    Shutdown();
}

void TCustomEncoder::Shutdown() {
    SetOnAudioHook(nullptr);
    SetOnPreviewBitmap(nullptr);
    SetOnProgress(nullptr);
    SetOnTerminate(nullptr);
    SetOnVideoInputHook(nullptr);
    SetOnVideoOutputHook(nullptr);
    FreeTasks();
    FDelivery->WaitIdle();
}

void TCustomEncoder::SetOnAudioHook(TAudioHookEvent handler) {
    auto lock = LockPumping(FAudioHookLock);
    FOnAudioHook = std::move(handler);
}
void TCustomEncoder::SetOnVideoInputHook(TVideoHookEvent handler) {
    auto lock = LockPumping(FVideoHookLock);
    FOnVideoInputHook = std::move(handler);
}
void TCustomEncoder::SetOnVideoOutputHook(TVideoHookEvent handler) {
    auto lock = LockPumping(FVideoHookLock);
    FOnVideoOutputHook = std::move(handler);
}
void TCustomEncoder::SetOnPreviewBitmap(TPreviewBitmapEvent handler) {
    auto lock = LockPumping(FPreviewLock);
    FOnPreviewBitmap = std::move(handler);
}
void TCustomEncoder::SetOnProgress(TProgressEvent handler) {
    auto lock = LockPumping(FProgressLock);
    FOnProgress = std::move(handler);
}
void TCustomEncoder::SetOnTerminate(TTerminateEvent handler) {
    auto lock = LockPumping(FTerminateLock);
    FOnTerminate = std::move(handler);
}

void TCustomEncoder::SetPreview(bool value) {
    FPreview = value;
}
void TCustomEncoder::SetPreviewBitmap(bool value) {
    FPreviewBitmap = value;
}

void TCustomEncoder::SetProgressInterval(int ms) {
    // The engine measures its reports in this interval; shorter ones would flood the owner.
    FProgressInterval = ms <= 100 ? 100 : ms;
}

void TCustomEncoder::CheckNotWorking(const char* action) const {
    if (FWorking.load())
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
        if (options != nullptr) {
            if (options->FileName.isEmpty())
                options->FileName = fileName;
            task->InputOptions[engine.InputFileCount()] = *options;
            engine.ApplyOptionString(options->ExtOptions, true);
            // After the extra lines, so that a field that is set wins over them.
            engine.SetInputFormat(options->FileFormat);
            engine.SetStartTime(options->StartTime);
            engine.SetProgramId(options->ProgramId);
        }
        if (!engine.OpenInputFile(fileName)) {
            SetLastErrorText(QString::fromLocal8Bit(engine.LastErrorText()));
            return -1;
        }
        engine.AttachInputProbe(engine.InputFileCount() - 1);
    } catch (const std::exception& e) {
        SetLastErrorText(QString::fromLocal8Bit(e.what()));
        return -1;
    }
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
            // Video hooks and preview pictures come with the engine's video path.
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
    state.AudioLanguage = o.AudioLanguage;
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
    engine.SetVideoSyncMethod(o.VideoSyncMethod);
    engine.SetVideoTag(o.VideoTag);
    state.VideoLanguage = o.VideoLanguage;
    if (o.DisableSubtitle)
        state.SubtitleDisable = true;
    state.SubtitleLanguage = o.SubtitleLanguage;
    state.InputSync = o.InputSync;
    if (o.CopyTS)
        state.CopyTs = true;
    engine.SetStartTime(o.StartTime);
    engine.SetRecordingTime(o.Duration);
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
    // Each engine stops and joins its worker as it is freed. The list keeps its length meanwhile,
    // so a worker that reports its end during that still finds every other engine where it was.
    for (auto& task : FTasks)
        task->Engine.reset();
    FTasks.clear();
}

void TCustomEncoder::ClearTasks() {
    {
        auto lock = LockPumping(FTerminateLock);
        if (FWorking.load() && !FAllFinished)
            throw std::logic_error("Cannot ClearTasks while working.");
    }
    FreeTasks();
    SetLastErrorText(QString());
    auto lock = LockPumping(FTerminateLock);
    FTerminatedCount = 0;
    FNextTask = -1;
    FRemaining = 0;
    FAllFinished = false;
    FThreaded = false;
    FWorking.store(false);
}

void TCustomEncoder::StartTask(int maxThreads) {
    CheckNotWorking("StartTask");
    auto lock = LockPumping(FTerminateLock);
    FTerminatedCount = 0;
    FNextTask = 0;
    FRemaining = TaskCount();
    FAllFinished = false;
    FThreaded = maxThreads > 0;
    FWorking.store(true);
    // A run without tasks has ended as it began. No task will ever report, so without this the
    // component would refuse ClearTasks, and with it every later run, for the rest of its life.
    if (FRemaining == 0)
        FAllFinished = true;
    if (FThreaded) {
        // Held while starting: a task that ends at once reports on its worker, which must find
        // the counters as they are after its own start.
        while (FRemaining > 0) {
            StartNext();
            if (--maxThreads == 0)
                break;
        }
        return;
    }
    lock.unlock();
    for (;;) {
        {
            std::lock_guard<TLock> guard(FTerminateLock);
            if (FRemaining <= 0)
                break;
        }
        StartNext();
    }
}

void TCustomEncoder::StartNext() {
    TFFmpeg* engine;
    bool threaded;
    {
        std::lock_guard<TLock> guard(FTerminateLock);
        if (FRemaining <= 0)
            return;
        --FRemaining;
        engine = FTasks[FNextTask++]->Engine.get();
        threaded = FThreaded;
    }
    engine->ProgressInterval = int64_t(FProgressInterval) * 1000;
    if (threaded) {
        if (TConvertThread* thread = engine->Start(true, FThreadPriority))
            thread->Resume();
    } else {
        engine->Start(false, FThreadPriority);
    }
}

void TCustomEncoder::StopTasks(bool wait) {
    {
        auto lock = LockPumping(FTerminateLock);
        FRemaining = 0;
    }
    if (!FWorking.load())
        return;
    for (auto& task : FTasks)
        task->Engine->Terminate(wait);
}

void TCustomEncoder::DoVideoInputHook(TCustomFFmpeg*, THookInfo&) {}
void TCustomEncoder::DoVideoOutputHook(TCustomFFmpeg*, THookInfo&) {}
void TCustomEncoder::DoPreviewBitmap(TCustomFFmpeg*, const TPreviewInfo&) {}

void TCustomEncoder::DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                                int64_t currentTime, int64_t totalSize, float bitRate,
                                float quality, int fps, int frameNumber) {
    std::lock_guard<TLock> guard(FProgressLock);
    if (!FOnProgress)
        return;
    FProgressInfo.TaskIndex = TaskIndexOf(sender);
    FProgressInfo.FileIndex = fileIndex;
    FProgressInfo.FrameNumber = frameNumber;
    FProgressInfo.FPS = fps;
    FProgressInfo.Quality = quality;
    FProgressInfo.BitRate = bitRate;
    FProgressInfo.TotalSize = totalSize;
    FProgressInfo.CurrentDuration = currentTime;
    FProgressInfo.TotalDuration = totalDuration;
    if (TriggerEventInMainThread())
        CallInMainThread([this] { FOnProgress(this, &FProgressInfo); });
    else
        FOnProgress(this, &FProgressInfo);
}

void TCustomEncoder::DoAudioHook(TCustomFFmpeg* sender, int64_t pts, void* samples, int size,
                                 int sampleRate, int channels, int sampleFormat) {
    std::lock_guard<TLock> guard(FAudioHookLock);
    if (FOnAudioHook)
        FOnAudioHook(this, TaskIndexOf(sender), pts, samples, size, sampleRate, channels,
                     sampleFormat);
}

void TCustomEncoder::DoTerminate(TCustomFFmpeg* sender) {
    std::lock_guard<TLock> guard(FTerminateLock);
    if (sender == nullptr) {
        RaiseFinalReport();
        return;
    }
    if (FOnTerminate) {
        FTerminateInfo.TaskIndex = TaskIndexOf(sender);
        FTerminateInfo.Finished = sender->Finished();
        FTerminateInfo.Failed = sender->Failed();
        FTerminateInfo.ErrorText = sender->ErrorText();
        if (FThreaded || !FWorking.load())
            ffencode::TDoTerminateThread::Start(FOnTerminate, this, FTerminateInfo, FDelivery);
        else
            FOnTerminate(this, FTerminateInfo);
    }
    ++FTerminatedCount;
    if (FRemaining < 1) {
        if (FTerminatedCount >= TaskCount())
            RaiseFinalReport();
    } else if (FThreaded) {
        // On the worker of the task that ended, with the lock held, so two tasks ending at
        // once cannot both take the same next one.
        StartNext();
    }
}

void TCustomEncoder::RaiseFinalReport() {
    if (FOnTerminate) {
        FTerminateInfo = TTerminateInfo{-1, true, false, std::string()};
        if (FThreaded || !FWorking.load())
            ffencode::TDoTerminateThread::Start(FOnTerminate, this, FTerminateInfo, FDelivery);
        else
            FOnTerminate(this, FTerminateInfo);
    }
    FAllFinished = true;
}
