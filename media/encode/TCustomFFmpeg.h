#pragma once
// The transcoding engine: one object per encoder task, following FFmpeg's command-line
// transcoder. It is the one place that knows the whole pipeline; each stage lives in files of
// its own and works on the members grouped for it below:
//
//   options      FFOptions*.cpp, FFPresets*.cpp, FFTargets*.cpp, FFOptionContexts.cpp
//   input        FFInput*.cpp      (OpenInputFile)
//   output       FFOutput*.cpp     (OpenOutputFile, New*Stream, FreeFiles)
//   preparation  FFPrepare*.cpp    (stream tables, codec opening, headers)
//   loop         FFLoop*.cpp       (Start, Run, Stop, Terminate, DoTerminate, ResetOptions)
//   audio path   FFAudioPath*.cpp
//   video path   FFVideo*.cpp, FFRgbBitmap.cpp (hooks, previews, filters, sync)
//
// Threads: options are applied and files opened on the caller's thread (the main thread here)
// while the task is idle. A run executes on the task's worker thread (TConvertThread) or on the
// caller's; while it runs only the stop flag is written from another thread. Callbacks are
// called on the thread of the run; the encoder component decides where its events go.
//
// May include (media/encode/ and its stage folders): media/decode (the probe each input file
// attaches), media/mp3 (the frame index), media/ (the foundation) and Qt Core (no Qt Gui:
// pictures are TBitmaps). Never
// media/play, nor anything above media/.

#include "media/AVPtr.h"
#include "media/FrameHook.h"
#include "media/encode/options/FFOptionContexts.h"
#include "media/encode/options/FFOptionState.h"
#include "media/encode/FFFiles.h"
#include "media/encode/FFmpegException.h"
#include "media/encode/video/FFVideoHooks.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TCustomFFmpeg;
class TConvertThread;
class TFFDecoder;
class TSharedFrameIndex;
// Extra state of the run stages (stream tables, buffers, counters ...), defined by those stages;
// held through a shared_ptr so that this header needs none of their definitions.
struct TFFRunState;

// sender, file index (-1 in the final report), total duration µs, current time µs, total size
// bytes, bit rate kbit/s, quality, frames per second, frame number.
using TProgressCallback = std::function<void(
    TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration, int64_t currentTime,
    int64_t totalSize, float bitRate, float quality, int fps, int frameNumber)>;
using TTerminateCallback = std::function<void(TCustomFFmpeg* sender)>;
// sender, block time µs on the source's timeline, interleaved samples (changed in place), size
// bytes, sample rate Hz, channels, AVSampleFormat.
using TAudioHookCallback =
    std::function<void(TCustomFFmpeg* sender, int64_t pts, void* samples, int size, int sampleRate,
                       int channels, int sampleFormat)>;
// sender, the picture as an RGB bitmap, stop-hook (set to receive no more pictures this run),
// update (clear to leave the picture as it was), pts µs, frame number.
using TVideoHookCallback = std::function<void(TCustomFFmpeg* sender, TBitmap& bitmap,
                                              bool& stopHook, bool& update, int64_t pts, int frame)>;
// sender, bitmap, pts µs, frame number.
using TPreviewBitmapCallback =
    std::function<void(TCustomFFmpeg* sender, TBitmap& bitmap, int64_t pts, int frame)>;

class TCustomFFmpeg {
public:
    TCustomFFmpeg();
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // ===== options stage =====
    // Every setting to its default and fresh option contexts. Needs the encoder libraries.
    void InitOptions();
    // One option of the vocabulary (or the generic fallback); throws FFmpegException (or
    // std::invalid_argument for a bad number) when the value is rejected.
    void SetOption(const std::string& name, const std::string& value);
    // The generic fallback: false when no library table took the value.
    bool SetGenericOption(const std::string& name, const std::string& value);
    // kind is "apre", "vpre", "spre" or "fpre".
    void SetPreset(const std::string& kind, const std::string& name);
    // type "vcd", "svcd", "dvd", "dv", "dv50"; norm "pal", "ntsc", "film" or "auto".
    void SetTarget(const std::string& type, const std::string& norm,
                   const std::string& defaultNorm);

    // Typed setters of the encoder component; each acts like the option named beside it.
    void SetInputFormat(const std::string& name);   // "f", for the next file of either side
    void SetStartTime(int64_t us);                  // "ss"; NoTime is ignored
    void SetRecordingTime(int64_t us);              // "t"; NoTime is ignored
    void SetProgramId(int id);                      // "programid"; negative is ignored
    void SetAudioCodec(const std::string& name);    // "acodec"; "" is ignored
    void SetVideoCodec(const std::string& name);    // "vcodec"
    void SetSubtitleCodec(const std::string& name); // "scodec"
    void SetFrameSize(const std::string& size);     // "s"; "" is ignored
    void SetFrameRate(const std::string& rate);     // "r"; "" is ignored
    void SetAspect(const std::string& aspect);      // "aspect"; "" is ignored
    void SetCropTop(int pixels);
    void SetCropBottom(int pixels);
    void SetCropLeft(int pixels);
    void SetCropRight(int pixels);
    void SetVideoFilters(const std::string& filters); // "vf"; "" is ignored
    void SetAudioVolume(int volume);                  // "vol"; negative is ignored
    void SetAudioSampleRate(int rate);                // "ar"; not positive is ignored
    void SetAudioChannels(int channels);              // "ac"; not positive is ignored
    void SetAudioSyncMethod(int method);              // "async"
    void SetVideoSyncMethod(int method);              // "vsync"
    void SetMuxDelay(double seconds);                 // "muxdelay"; not positive is ignored
    void SetMuxPreload(double seconds);               // "muxpreload"; not positive is ignored
    void SetAudioTag(const std::string& tag);         // "atag"; "" is ignored
    void SetVideoTag(const std::string& tag);         // "vtag"; "" is ignored
    void SetVerbose(int level);                       // "v"
    void AddMetadata(const std::string& key, const std::string& value);

    TFFOptionState& Options() { return FOpt; }
    const TFFOptionState& Options() const { return FOpt; }
    TFFOptionContexts& OptionContexts() { return FOptCtx; }

    // Codec-name resolution for the input and output stages: the encoder or decoder called
    // name, of the given media type, usable at the given strictness. nullptr with the message
    // in LastErrorText() when there is none.
    const AVCodec* FindCodec(const std::string& name, AVMediaType type, bool encoder, int strict);

    std::string LastErrorText() const { return FLastErrorText; }
    void SetLastErrorText(const std::string& text) { FLastErrorText = text; }

    // ===== input stage =====
    bool OpenInputFile(const QString& fileName);
    int InputFileCount() const { return int(FInputFiles.size()); }
    // The probe of input index: created on first use, kept until the engine is freed, and
    // attached to the input's opened context (it never owns it). nullptr when no such input is
    // open. Throws std::runtime_error when the probe's libraries are not loaded.
    TFFDecoder* AttachInputProbe(int index);
    TFFDecoder* InputProbe(int index) const;
    // Lets the runs of several tasks over one file share its frame index.
    void ShareInputFrameIndex(int index, std::shared_ptr<TSharedFrameIndex> shared) {
        if (index >= 0 && index < InputFileCount())
            FInputFiles[size_t(index)].FrameIndex = std::move(shared);
    }

    // ===== output stage =====
    int OpenOutputFile(const QString& fileName, bool join);
    void NewVideoStream(AVFormatContext* oc, int fileIndex);
    void NewAudioStream(AVFormatContext* oc, int fileIndex);
    void NewSubtitleStream(AVFormatContext* oc, int fileIndex);
    // Closes every file. An output that received packets is put in place under its name unless
    // the run failed; the others leave no file. Throws std::runtime_error, after closing
    // everything, when an output could not be put in place.
    void FreeFiles();
    int OutputFileCount() const { return int(FOutputFiles.size()); }

    // ===== loop stage =====
    void ResetOptions();
    TConvertThread* Start(bool inThread, int priority);
    void Run();
    // Asks a run to stop; with wait, returns when its threads have ended (never waiting for the
    // calling thread itself). Any number of threads may stop at once.
    void Stop(bool wait);
    // Stops a run, or reports an engine that never ran as terminated on a thread of its own.
    void Terminate(bool wait);
    // Reports an engine that never ran as terminated, on the calling thread; false when it ran
    // or was reported already.
    bool TerminateHere();
    void DoTerminate();

    bool Finished() const { return FFinished; }
    bool Failed() const { return FFailed; }
    std::string ErrorText() const { return FErrorText; }

    int64_t ProgressInterval = 500000; // µs
    TProgressCallback OnProgressCallback;
    TTerminateCallback OnTerminateCallback;
    // ===== audio path =====
    TAudioHookCallback OnAudioHookCallback;
    // ===== video path =====
    TVideoHookCallback OnVideoInputHookCallback;
    TVideoHookCallback OnVideoOutputHookCallback;
    TPreviewBitmapCallback OnPreviewBitmapCallback;
    // Makes the window that bit 0 of the preview flags previews into, on first use.
    TPreviewSinkFactory PreviewWindowFactory;
    // Bit 0: preview into the window, bit 1: through OnPreviewBitmapCallback. Any thread, also
    // during a run.
    void SetPreviewFlags(int flags) { FPreviewControl.SetFlags(flags); }
    int PreviewFlags() const { return FPreviewControl.Flags(); }
    // Bits per pixel of hook and preview bitmaps (8, 15, 16, 24, 32); before a run.
    void SetPreviewBitDepth(int depth) { FPreviewControl.SetBitDepth(depth); }

protected:
    // options stage
    TFFOptionState FOpt;
    TFFOptionContexts FOptCtx;
    TFrameHookList FFrameHooks; // "vhook"; run by the video path
    TFFPreviewControl FPreviewControl; // shared with the owner's thread, locks itself
    std::string FLastErrorText;
    // Creates the stream for "newaudio", "newvideo", "newsubtitle" on the last output file; set
    // by the output stage when it opens a file, so the option stage needs none of its code.
    std::function<void(AVMediaType)> FNewStreamHandler;

    // input stage
    std::vector<TInputFile> FInputFiles;
    std::vector<const AVCodec*> FInputCodecs; // forced decoder per input stream; nullptr = any
    // One probe per input slot; forgets its context when the files are freed.
    std::array<std::unique_ptr<TFFDecoder>, ffopt::MaxFiles> FInputProbes;

    // output stage
    std::vector<TOutputFile> FOutputFiles;
    std::vector<const AVCodec*> FOutputCodecs; // chosen encoder per output stream
    bool FJoinMode = false;

    // loop stage
    std::shared_ptr<TFFRunState> FRun;
    std::atomic<bool> FStopRequested{false};
    bool FRunning = false;
    bool FTerminated = false;
    bool FFinished = false;
    bool FFailed = false;
    std::string FErrorText;

private:
    // The end of every run (FFLoopRun.cpp): codecs closed, files freed, the owner told.
    void EndRun() noexcept;
    void RunFailed(const char* what) noexcept;
    // Helpers of the option dispatch (FFOptions*.cpp).
    bool SetOptionGeneral(const std::string& name, const std::string& value);
    bool SetOptionVideo(const std::string& name, const std::string& value);
    bool SetOptionAudioSubtitle(const std::string& name, const std::string& value);
    void SetBitrateOption(const std::string& name, const std::string& value);
    void SetTimeOption(const std::string& name, const std::string& value);
    void SetCrop(const std::string& name, int value);
    void AddBitstreamFilter(const std::string& name, const std::string& value);
    void NewStreamOption(AVMediaType type);
    void ApplyPresetText(const std::string& presetName, const std::string& text);
};
