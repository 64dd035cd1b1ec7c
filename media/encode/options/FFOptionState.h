#pragma once
// The option state of one engine task: every setting the option vocabulary can change, with its
// default. InitOptions() of the engine assigns a fresh TFFOptionState; the input and output
// stages read it and reset the per-file and per-stream settings after use.
//
// Plain data except the bitstream filter chains, which own library objects; the struct is
// therefore movable but not copyable. Times are microseconds unless a field says otherwise.

#include "media/FFEntryPoints.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ffopt {
constexpr int MaxFiles = 20;   // inputs and outputs per engine
constexpr int MaxStreams = 20; // streams per file in the per-stream tables
constexpr int64_t NoTimeLimit = INT64_MAX;
constexpr int64_t NoTime = AV_NOPTS_VALUE;

struct BSFDeleter {
    void operator()(AVBSFContext* p) const {
        if (ff::av_bsf_free != nullptr)
            ff::av_bsf_free(&p);
    }
};
} // namespace ffopt

using AVBSFContextPtr = std::unique_ptr<AVBSFContext, ffopt::BSFDeleter>;

// One filter of a chain: allocated for its name at option time; the output stage fills its
// input parameters and initialises it once the stream's codec parameters are known.
struct TBitstreamFilter {
    AVBSFContextPtr Context;
    std::string Args; // the text after the first "=" of the option value ("" without one)
};
using TBitstreamFilterChain = std::vector<TBitstreamFilter>;

// "map": output stream n takes input stream File.Stream, timed against SyncFile.SyncStream.
struct TStreamMap {
    int FileIndex = 0;
    int StreamIndex = 0;
    int SyncFileIndex = 0;
    int SyncStreamIndex = 0;
};

// "map_meta_data": global tags of input InFile go to output OutFile.
struct TMetaDataMap {
    int OutFile = 0;
    int InFile = 0;
};

struct TFFOptionState {
    int MaxInputFiles = ffopt::MaxFiles;
    int MaxOutputFiles = ffopt::MaxFiles;

    // --- per file (consumed by the next input or output opened) ---
    std::string FileFormat;    // "f": forced format of the next file, "" = detect
    bool PgmyuvCompat = false; // "f pgmyuv": the next input's video is forced to PGMYUV
    int64_t StartTime = 0;     // "ss", µs
    int64_t RecordingTime = ffopt::NoTimeLimit; // "t", µs
    int64_t TotalDuration = -1;                 // µs reported with progress; -1 = unknown
    int64_t RecordingTimestamp = 0;             // "timestamp", seconds since 1970 (UTC)
    int64_t InputTsOffset = 0;                  // "itsoffset", µs
    // "itsscale", [input index][stream index]; 0 = unset. Written at the index of the next input.
    std::array<std::array<double, ffopt::MaxStreams>, ffopt::MaxFiles> InputTsScale{};
    int64_t FileSizeLimit = 0;                                 // "fs", bytes; 0 = none
    std::vector<std::pair<std::string, std::string>> Metadata; // "metadata", next output
    int ProgramId = 0;                                         // "programid"; 0 = all
    bool LoopInput = false;                                    // "loop_input"
    // The next output must not replace a file that appears under its name while it is written
    // (the caller checked that the name was free, or was not allowed to replace).
    bool NoReplace = false;
    // A run that reaches the end of its input well before RecordingTime fails instead of
    // finishing: the caller asked for exactly that range (a cut), not for "at most".
    bool RequireRecordingTime = false;
    int LoopOutput = -1; // "loop_output"; -1 = no output loop

    // --- frame limits ---
    int MaxVideoFrames = 2147483647; // "vframes"
    int MaxAudioFrames = 2147483647; // "aframes"
    int MaxDataFrames = 2147483647;  // "dframes"
    int MaxSubtitleFrames = 2147483647;

    // --- audio ---
    int AudioSampleRate = 44100;      // "ar", Hz
    int AudioChannels = 2;            // "ac"
    uint64_t AudioChannelLayout = 0;  // mask taken from the last input's audio; 0 = default
    double AudioQScale = -99999.0;    // "aq"; -99999 = none
    int AudioSampleFmt = -1;          // "sample_fmt", AVSampleFormat; -1 = none
    bool AudioDisable = false;        // "an"
    std::string AudioCodecName;       // "acodec"
    bool AudioStreamCopy = false;     // "acodec copy"
    uint32_t AudioCodecTag = 0;       // "atag"
    std::string AudioLanguage;        // "alang"
    int AudioVolume = 256;            // "vol"; 256 = unchanged
    int AudioSyncMethod = 0;          // "async"
    double AudioDriftThreshold = 0.1; // "adrift_threshold", seconds

    // --- video ---
    int VideoSyncMethod = -1;     // "vsync"
    std::string VideoCodecName;   // "vcodec"
    bool VideoStreamCopy = false; // "vcodec copy"
    bool VideoDisable = false;    // "vn"
    uint32_t VideoCodecTag = 0;   // "vtag"
    std::string VideoLanguage;    // "vlang"
    int FrameWidth = 0;           // "s", pixels
    int FrameHeight = 0;
    AVRational FrameRate{0, 0};  // "r"; {0,0} = unset
    double FrameAspectRatio = 0; // "aspect"; 0 = unset
    // What "s" and "aspect" themselves set: opening an input also sets the size and aspect
    // above (to the input's), and an output takes them as asked only while they are still these.
    int FrameSizeGivenWidth = 0, FrameSizeGivenHeight = 0;
    double FrameAspectGiven = 0;
    int FramePixFmt = -1;        // "pix_fmt", AVPixelFormat; -1 = none
    int FrameTopFieldFirst = -1; // "top"
    int IntraDCPrecision = 8;    // "dc"
    int FramePadColor = 0;
    int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0; // pixels (deprecated options)
    bool IntraOnly = false;                                       // "intra"
    bool SameQuality = false;                                     // "sameq"
    double VideoQScale = 0;                                       // "qscale"; 0 = none
    std::string RcOverride;                                       // "rc_override"
    int MeThreshold = 0;                                          // "me_threshold"
    bool MeThresholdReported = false; // its lack of an equivalent is said once
    int VideoDiscard = 0;                                         // "vdt", AVDiscard; 0 = not set
    int VideoChannel = 0;                                         // "vc"
    std::string VideoStandard;                                    // "tvstd"
    bool DoDeinterlace = false;                                   // "deinterlace"
    bool DoPSNR = false;                                          // "psnr"
    bool QpHist = false;                                          // "qphist"
    bool ForceFps = false;                                        // "force_fps"
    int VideoGlobalHeader = 0;                                    // "vglobal"
    int CopyInitialNonKeyframes = 0;                              // "copyinkf"
    std::string VideoFilters;                                     // "vf" / "vfilters"
    std::string VStatsFileName;                                   // "vstats", "vstats_file"
    std::vector<uint16_t> IntraMatrix; // "intra_matrix": 64 coefficients, empty = none
    std::vector<uint16_t> InterMatrix; // "inter_matrix"
    int DoPass = 0;                    // "pass": 0, 1 or 2
    std::string PassLogFileName;       // "passlogfile"; "" = default prefix

    // --- subtitles ---
    std::string SubtitleCodecName; // "scodec"
    bool SubtitleStreamCopy = false;
    bool SubtitleDisable = false;  // "sn"
    uint32_t SubtitleCodecTag = 0; // "stag"
    std::string SubtitleLanguage;  // "slang"

    // --- muxing and timing ---
    double MuxPreload = 0.5;         // "muxpreload", seconds
    double MuxMaxDelay = 0.7;        // "muxdelay", seconds
    bool CopyTs = false;             // "copyts"
    bool OptShortest = false;        // "shortest"
    bool InputSync = false;          // "isync"
    bool ExitOnError = false;        // "xerror"
    double DtsDeltaThreshold = 10.0; // "dts_delta_threshold", seconds
    bool DoDump = false;             // "dump"
    bool DoHexDump = false;          // "hex"
    bool RateEmu = false;            // "re"
    bool DoBenchmark = false;        // "benchmark" (not acted on)

    // --- engine ---
    int Verbose = 1;                        // "v"
    int ThreadCount = 1;                    // codec threads
    int SwsFlags = SWS_BICUBIC;             // scaler flags of the option scaler and the video path
    std::vector<TStreamMap> StreamMaps;     // "map"
    std::vector<TMetaDataMap> MetaDataMaps; // "map_meta_data"
    std::array<int, ffopt::MaxStreams> StreamIds{}; // "streamid", by output stream index
    TBitstreamFilterChain VideoBitstreamFilters;    // "vbsf"
    TBitstreamFilterChain AudioBitstreamFilters;    // "absf"
    TBitstreamFilterChain SubtitleBitstreamFilters; // "sbsf"
};
