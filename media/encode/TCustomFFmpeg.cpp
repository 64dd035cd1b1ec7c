#include "media/encode/TCustomFFmpeg.h"

#include "media/decode/TFFDecoder.h"
#include "media/encode/loop/FFLoopRunState.h"

#include <string>

// The run state exists from the start: threads that stop and start the engine meet in it.
TCustomFFmpeg::TCustomFFmpeg() : FRun(std::make_shared<TFFRunState>()) {}

// A running task is stopped and its worker joined before the members it uses go away; FreeFiles
// then removes the temporaries of outputs that never ran (nothing is put in place from here).
TCustomFFmpeg::~TCustomFFmpeg() {
    Stop(true);
    try {
        FreeFiles();
    } catch (...) {
    }
}

TFFDecoder* TCustomFFmpeg::AttachInputProbe(int index) {
    if (index < 0 || index >= InputFileCount() || index >= int(FInputProbes.size()))
        return nullptr;
    std::unique_ptr<TFFDecoder>& probe = FInputProbes[size_t(index)];
    if (!probe)
        probe = std::make_unique<TFFDecoder>();
    probe->AttachContext(FInputFiles[size_t(index)].Context.get());
    return probe.get();
}

TFFDecoder* TCustomFFmpeg::InputProbe(int index) const {
    if (index < 0 || index >= int(FInputProbes.size()))
        return nullptr;
    return FInputProbes[size_t(index)].get();
}

void TCustomFFmpeg::InitOptions() {
    FOpt = TFFOptionState();
    FOptCtx.Reset(FOpt.SwsFlags);
}

// The typed setters skip their "not given" values, so that the component can hand over every
// field of its records unconditionally.

void TCustomFFmpeg::SetInputFormat(const std::string& name) {
    if (!name.empty())
        SetOption("f", name);
}

void TCustomFFmpeg::SetStartTime(int64_t us) {
    if (us != ffopt::NoTime)
        FOpt.StartTime = us;
}

void TCustomFFmpeg::SetRecordingTime(int64_t us) {
    if (us != ffopt::NoTime) {
        FOpt.RecordingTime = us;
        FOpt.TotalDuration = us;
    }
}

void TCustomFFmpeg::SetProgramId(int id) {
    if (id >= 0)
        FOpt.ProgramId = id;
}

void TCustomFFmpeg::SetAudioCodec(const std::string& name) {
    if (!name.empty())
        SetOption("acodec", name);
}

void TCustomFFmpeg::SetVideoCodec(const std::string& name) {
    if (!name.empty())
        SetOption("vcodec", name);
}

void TCustomFFmpeg::SetSubtitleCodec(const std::string& name) {
    if (!name.empty())
        SetOption("scodec", name);
}

void TCustomFFmpeg::SetFrameSize(const std::string& size) {
    if (!size.empty())
        SetOption("s", size);
}

void TCustomFFmpeg::SetFrameRate(const std::string& rate) {
    if (!rate.empty())
        SetOption("r", rate);
}

void TCustomFFmpeg::SetAspect(const std::string& aspect) {
    if (!aspect.empty())
        SetOption("aspect", aspect);
}

void TCustomFFmpeg::SetCropTop(int pixels) {
    SetCrop("croptop", pixels);
}
void TCustomFFmpeg::SetCropBottom(int pixels) {
    SetCrop("cropbottom", pixels);
}
void TCustomFFmpeg::SetCropLeft(int pixels) {
    SetCrop("cropleft", pixels);
}
void TCustomFFmpeg::SetCropRight(int pixels) {
    SetCrop("cropright", pixels);
}

void TCustomFFmpeg::SetVideoFilters(const std::string& filters) {
    if (!filters.empty())
        FOpt.VideoFilters = filters;
}

void TCustomFFmpeg::SetAudioVolume(int volume) {
    if (volume >= 0)
        FOpt.AudioVolume = volume;
}

void TCustomFFmpeg::SetAudioSampleRate(int rate) {
    if (rate > 0)
        FOpt.AudioSampleRate = rate;
}

void TCustomFFmpeg::SetAudioChannels(int channels) {
    if (channels > 0)
        FOpt.AudioChannels = channels;
}

void TCustomFFmpeg::SetAudioSyncMethod(int method) {
    FOpt.AudioSyncMethod = method;
}

void TCustomFFmpeg::SetVideoSyncMethod(int method) {
    FOpt.VideoSyncMethod = method;
}

void TCustomFFmpeg::SetMuxDelay(double seconds) {
    if (seconds > 0)
        FOpt.MuxMaxDelay = seconds;
}

void TCustomFFmpeg::SetMuxPreload(double seconds) {
    if (seconds > 0)
        FOpt.MuxPreload = seconds;
}

void TCustomFFmpeg::SetAudioTag(const std::string& tag) {
    if (!tag.empty())
        SetOption("atag", tag);
}

void TCustomFFmpeg::SetVideoTag(const std::string& tag) {
    if (!tag.empty())
        SetOption("vtag", tag);
}

void TCustomFFmpeg::SetVerbose(int level) {
    FOpt.Verbose = level;
}

void TCustomFFmpeg::AddMetadata(const std::string& key, const std::string& value) {
    FOpt.Metadata.emplace_back(key, value);
}
