#pragma once
// The option values that input opening, output creation, preparation, the loop and the audio
// path read and consume. The option stage fills them (SetOption and the typed setters); the
// stages reset the per-file and per-stream ones after use, exactly where the transcoder's
// command line would forget them, so options given for one file never leak into the next.

#include "media/FFEntryPoints.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

constexpr int MaxFilesPerEngine = 20; // inputs, and outputs, of one engine
constexpr int MaxStreamsPerFile = 20; // itsscale and stream id tables
constexpr int64_t NoRecordingLimit = INT64_MAX;

struct TFFStreamMap {
    int File = 0, Stream = 0;         // source input file and stream
    int SyncFile = 0, SyncStream = 0; // stream whose clock the output follows
};

struct TFFMetaMap {
    int OutFile = 0, InFile = 0;
};

struct TFFLoopSettings {
    // Per file: consumed by the next file opened.
    std::string ForcedFormat;  // "f"
    int64_t StartTime = 0;     // µs, "ss"; an input consumes it as a seek
    int64_t InputTsOffset = 0; // µs, "itsoffset"
    std::array<double, MaxStreamsPerFile>
        TsScale{};             // "itsscale" per stream of the next input; 0 = unset
    int ProgramId = 0;         // "programid"; 0 = every program
    int VideoChannel = 0;      // "vc"
    std::string VideoStandard; // "tvstd"

    // Run-wide.
    int64_t RecordingTime = NoRecordingLimit; // µs, "t"
    int64_t RecordingTimestamp = 0;           // s since 1970, "timestamp"; 0 = none
    int64_t FileSizeLimit = 0;                // bytes, "fs"; 0 = none
    std::array<int, 4> MaxFrames{INT32_MAX, INT32_MAX, INT32_MAX,
                                 INT32_MAX}; // video, audio, data, subtitle
    double AudioDriftThreshold = 0.1;        // s
    double DtsDeltaThreshold = 10.0;         // s
    float MuxPreload = 0.5f;                 // s
    float MuxMaxDelay = 0.7f;                // s
    bool LoopInput = false;
    int LoopOutput = -1;
    bool CopyTs = false, Shortest = false, InputSync = false, ExitOnError = false;
    bool DumpPackets = false, HexDump = false, RateEmulation = false, CopyInitialNonKey = false;
    int Verbose = 1;
    int ThreadCount = 1;

    // Audio: the next audio stream; filled from the last opened input's audio stream.
    int AudioSampleRate = 44100; // Hz
    int AudioChannels = 2;
    uint64_t AudioChannelLayout = 0; // channel mask; 0 = default for the count
    AVSampleFormat AudioSampleFmt = AV_SAMPLE_FMT_NONE;
    float AudioQScale = -99999.0f;
    bool AudioDisable = false;
    std::string AudioCodecName;
    bool AudioStreamCopy = false;
    uint32_t AudioCodecTag = 0;
    std::string AudioLanguage;
    int AudioVolume = 256; // 256 = unchanged
    int AudioSyncMethod = 0;

    // Video: the next video stream; filled from the last opened input's video stream.
    int FrameWidth = 0, FrameHeight = 0; // pixels
    AVRational FrameRate{0, 0};          // unset while den = 0
    double FrameAspectRatio = 0;
    AVPixelFormat FramePixFmt = AV_PIX_FMT_NONE;
    bool VideoDisable = false;
    std::string VideoCodecName;
    bool VideoStreamCopy = false;
    uint32_t VideoCodecTag = 0;
    std::string VideoLanguage;
    int VideoSyncMethod = -1;
    std::string VideoFilters; // "vf"

    // Subtitles: the next subtitle stream.
    bool SubtitleDisable = false;
    std::string SubtitleCodecName;
    bool SubtitleStreamCopy = false;
    uint32_t SubtitleCodecTag = 0;
    std::string SubtitleLanguage;

    std::vector<TFFStreamMap> StreamMaps;                      // "map"
    std::vector<TFFMetaMap> MetaMaps;                          // "map_meta_data"
    std::vector<std::pair<std::string, std::string>> Metadata; // for the next output, "metadata"
    std::array<int, MaxStreamsPerFile> StreamIds{};            // "streamid"

    // Generic library options set so far: the option stage owns these contexts. A new codec or
    // format context receives the values of OptionNames that it knows (and whose direction and
    // media type match). Any pointer may be null.
    std::array<AVCodecContext*, 5>
        OptionCodecContexts{}; // video, audio, data, subtitle, attachment
    AVFormatContext* OptionFormatContext = nullptr;
    const QStringList* OptionNames = nullptr;

    // Expected length of the output, µs; -1 unknown. Inputs raise it, "t" sets it.
    int64_t TotalDuration = -1;
};

// The callbacks that leave the engine during a run; all are called on the thread running it.
struct TFFLoopCallbacks {
    // Decoded audio block before any output conversion: pts in µs on the source's own
    // timeline, packed signed 16-bit samples the callee may change in place.
    std::function<void(int64_t pts, uint8_t* samples, int sizeBytes, int sampleRate, int channels,
                       int sampleFormat)>
        AudioHook;
    std::function<void(int fileIndex, int64_t totalDuration, int64_t currentDuration,
                       int64_t totalSize, float bitRate, float quality, int fps, int frameNumber)>
        Progress;
    std::function<void()> Terminate;
};
