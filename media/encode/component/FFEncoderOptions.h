#pragma once
// The records the encoder component exchanges with its owner: the option records the owner
// fills for an input and an output of a task, and the records its events carry. Plain data; the
// owner keeps its option records, the component copies what it needs.

#include <QString>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

class TBitmap;
class QObject;
class TSharedFrameIndex;

// "No time" of the media layer (FFmpeg's AV_NOPTS_VALUE).
inline constexpr int64_t EncoderNoTime = std::numeric_limits<int64_t>::min();

// Metadata and timestamp of an output file.
struct TStreamInfo {
    // Local date-time in days since 30 December 1899; 0 = now, negative = none.
    double Timestamp = -1.0;
    int Year = -1;  // written when > 0
    int Track = -1; // written when > 0
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

struct TInputOptions {
    QString FileName;                  // filled with AddTask's file name when empty
    std::string FileFormat;            // forced input format ("f"); "" = detect
    int64_t StartTime = EncoderNoTime; // µs, input-side start ("ss")
    int ProgramId = -1;                // "programid"; negative = all programs
    std::string ExtOptions;            // extra "name=value" lines; the fields above win over them
    int Reserved1 = 0;
    void* Reserved2 = nullptr;
    // Tasks over one file that are given the same object walk its frames once between them.
    std::shared_ptr<TSharedFrameIndex> FrameIndex;
};

struct TOutputOptions {
    QString FileName; // filled with SetOutputFile's file name when empty
    std::string Reserved;
    std::string FileFormat;   // forced output format ("f"); "" = guess from the name
    int PacketSize = -1;      // bytes, used when > 0
    int MuxRate = -1;         // bits per second, used when > 0
    float MuxDelay = -1.0f;   // seconds, used when > 0
    float MuxPreload = -1.0f; // seconds, used when > 0
    std::string AudioCodec;
    std::string AudioPreset;
    bool DisableAudio = false;
    int AudioVolume = -1;           // 256 = unchanged; negative = not set
    int AudioChannels = -1;         // used when > 0
    int AudioSampleRate = -1;       // Hz, used when > 0
    int AudioBitrate = -1;          // bits per second, used when > 0
    int AudioBitrateTolerance = -1; // bits per second, used when > 0
    std::string AudioLanguage;
    int AudioSyncMethod = 0;
    std::string AudioTag; // first four bytes become the codec tag
    std::string VideoCodec;
    std::string VideoPreset;
    bool DisableVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string Aspect;
    int CropTop = -1; // pixels, used when > 0
    int CropBottom = -1;
    int CropLeft = -1;
    int CropRight = -1;
    int GOPSize = -1;               // frames, used when > 0
    int VideoBitrate = -1;          // bits per second, used when > 0
    int MaxRate = -1;               // bits per second, used when > 0
    int MinRate = -1;               // bits per second, used when > 0
    int VideoBitrateTolerance = -1; // bits per second, used when > 0
    int BufSize = -1;               // bits, used when > 0
    int VideoSyncMethod = -1;
    std::string VideoTag;
    std::string VideoFilters;
    std::string VideoLanguage;
    std::string SubtitleCodec;
    std::string SubtitlePreset;
    bool DisableSubtitle = false;
    std::string SubtitleLanguage;
    bool InputSync = false;
    bool CopyTS = false;
    int64_t StartTime = EncoderNoTime; // µs, output-side start: the input is decoded up to it
    int64_t Duration = EncoderNoTime;  // µs of output to record
    // The run fails when its input ends well before Duration (the range asked for was not there)
    // rather than finishing with a shorter file.
    bool RequireDuration = false;
    // The file is never put in place over one that appeared under its name meanwhile: the run
    // fails with "<name>: file exists" instead.
    bool NoReplace = false;
    TStreamInfo Info;
    int TargetType = 0;        // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
    int TargetNorm = 0;        // 1 "pal", 2 "ntsc", else "auto"
    int TargetDefaultNorm = 1; // 1 "pal", else "ntsc"
    bool AudioHook = false;    // raise OnAudioHook for every decoded block
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    int PreviewBitDepth = 24; // bits per pixel of preview pictures
    bool Join = false;
    std::string ExtOptions; // extra "name=value" lines; the fields above win over them
    int Reserved1 = 0;
    int Reserved2 = 0;
};

// The owner's records may live anywhere; these put every field back to its default.
void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

struct TProgressInfo {
    int TaskIndex = 0;
    int FileIndex = 0; // the input read last; -1 in the final report of a task
    int FrameNumber = 0;
    int FPS = 0;
    float Quality = -1.0f;
    float BitRate = 0.0f;        // kbit/s
    int64_t TotalSize = 0;       // bytes
    int64_t CurrentDuration = 0; // µs of output reached
    int64_t TotalDuration = 0;   // µs expected; <= 0 when not known
};

struct TTerminateInfo {
    int TaskIndex = 0;     // -1: the run as a whole has ended
    bool Finished = false; // ran to its end without a stop request
    bool Failed = false;   // an exception ended it
    std::string ErrorText; // that exception's message
};

struct THookInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    int64_t PTS = 0;       // µs
    bool StopHook = false; // the handler sets it to receive no more pictures
    bool Update = false;   // the handler sets it when it changed the picture
};

struct TPreviewInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    int64_t PTS = 0; // µs
};

// Event types. The sender is the component.
using TProgressEvent = std::function<void(QObject* sender, const TProgressInfo* info)>;
using TTerminateEvent = std::function<void(QObject* sender, const TTerminateInfo& info)>;
// taskIndex, block time µs on the source's timeline, interleaved samples (may be changed in
// place), size bytes, sample rate Hz, channels, AVSampleFormat.
using TAudioHookEvent =
    std::function<void(QObject* sender, int taskIndex, int64_t pts, void* samples, int size,
                       int sampleRate, int channels, int sampleFormat)>;
using TVideoHookEvent = std::function<void(QObject* sender, THookInfo* info)>;
using TPreviewBitmapEvent = std::function<void(QObject* sender, const TPreviewInfo* info)>;
