// The option vocabulary: what each name of the command-line transcoder sets in the option state.
// Names are compared exactly; anything the vocabulary does not know is offered to the library
// option tables (SetGenericOption).

#include "media/encode/TCustomFFmpeg.h"

#include "media/FFLog.h"
#include "media/encode/options/FFOptionsValues.h"
#include "media/encode/video/FFVideoSync.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

#include <cmath>
#include <initializer_list>

using namespace ffopt;

namespace {
bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (name == n)
            return true;
    return false;
}

void LogText(TLogLevel level, const std::string& text) {
    ActiveLogger()->Log(level, QString::fromLocal8Bit(text.c_str()));
}

// "v": a verbosity number as the engine's own, or a log level's name as the ffmpeg tool takes
// it ("-v debug"), which sets the log level as "loglevel" does and the verbosity that goes with
// it.
int VerbosityOf(const std::string& value) {
    static const struct {
        const char* Name;
        int Verbosity;
    } levels[] = {{"quiet", -1}, {"panic", 0},   {"fatal", 0}, {"error", 0}, {"warning", 0},
                  {"info", 1},   {"verbose", 2}, {"debug", 3}, {"trace", 3}};
    const QString text = QString::fromLocal8Bit(Trim(value).c_str());
    for (const auto& level : levels)
        if (text.compare(QLatin1String(level.Name), Qt::CaseInsensitive) == 0) {
            const QString name =
                text.compare(QLatin1String("trace"), Qt::CaseInsensitive) == 0 ? "debug" : text;
            ActiveLogger()->SetLogLevelByName(name);
            return level.Verbosity;
        }
    return ParseInt(value);
}

void SetCodecName(const std::string& value, std::string& name, bool& streamCopy) {
    // "copy" passes the stream's packets through; a real name given later wins over it.
    if (value == "copy") {
        streamCopy = true;
        name.clear();
    } else {
        streamCopy = false;
        name = value;
    }
}
} // namespace

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
    if (SetOptionGeneral(name, value))
        return;
    if (SetOptionVideo(name, value))
        return;
    if (SetOptionAudioSubtitle(name, value))
        return;
    // Outside the vocabulary: the libraries' own tables; an unknown name is no error here.
    SetGenericOption(name, value);
}

bool TCustomFFmpeg::SetOptionGeneral(const std::string& name, const std::string& value) {
    if (IsOneOf(name, {"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters",
                       "i", "y", "benchmark"})) {
        // Informational switches of the command line have nothing to do in a component.
        LogText(llInfo, "Do nothing: option - " + name);
    } else if (name == "loglevel") {
        ActiveLogger()->SetLogLevelByName(QString::fromLocal8Bit(value.c_str()));
    } else if (name == "f") {
        if (value == "pgmyuv") {
            FOpt.FileFormat = "image2";
            FOpt.PgmyuvCompat = true;
            LogText(llInfo, "pgmyuv format is deprecated, use image2");
        } else {
            FOpt.FileFormat = value;
        }
    } else if (name == "map") {
        TStreamMap m;
        size_t p = 0;
        m.FileIndex = int(ParseCLong(value, p));
        if (p < value.size())
            ++p;
        m.StreamIndex = int(ParseCLong(value, p));
        if (p < value.size()) {
            ++p;
            m.SyncFileIndex = int(ParseCLong(value, p));
            if (p < value.size())
                ++p;
            m.SyncStreamIndex = int(ParseCLong(value, p));
        } else {
            m.SyncFileIndex = m.FileIndex;
            m.SyncStreamIndex = m.StreamIndex;
        }
        FOpt.StreamMaps.push_back(m);
    } else if (name == "map_meta_data") {
        TMetaDataMap m;
        size_t p = 0;
        m.OutFile = int(ParseCLong(value, p));
        if (p < value.size())
            ++p;
        m.InFile = int(ParseCLong(value, p));
        FOpt.MetaDataMaps.push_back(m);
    } else if (IsOneOf(name, {"t", "ss", "itsoffset", "timestamp"})) {
        SetTimeOption(name, value);
    } else if (name == "fs") {
        FOpt.FileSizeLimit = ParseInt64(value);
    } else if (name == "itsscale") {
        size_t p = 0;
        const long stream = ParseCLong(value, p);
        if (p < value.size())
            ++p;
        const double scale = std::strtod(value.c_str() + p, nullptr);
        // A negative index would write before the table just as a large one after it.
        if (stream < 0 || stream >= MaxStreams)
            throw FFmpegException::Format("stream index over MAX_STREAMS(%d)", MaxStreams);
        // With the input table full there is no next input for the scale to apply to.
        if (InputFileCount() < MaxFiles)
            FOpt.InputTsScale[InputFileCount()][stream] = scale;
    } else if (name == "metadata") {
        const size_t eq = value.find('=');
        if (eq == std::string::npos)
            throw FFmpegException("Missing =");
        FOpt.Metadata.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else if (name == "dframes") {
        FOpt.MaxDataFrames = ParseInt(value);
    } else if (name == "timelimit") {
        LogText(llWarning, "Warning: -timelimit not implemented on Windows");
    } else if (name == "dump") {
        FOpt.DoDump = ParseBool(value);
    } else if (name == "hex") {
        FOpt.DoHexDump = ParseBool(value);
    } else if (name == "re") {
        FOpt.RateEmu = ParseBool(value);
    } else if (name == "loop_input") {
        FOpt.LoopInput = ParseBool(value);
    } else if (name == "loop_output") {
        FOpt.LoopOutput = ParseInt(value);
    } else if (name == "v") {
        SetVerbose(VerbosityOf(value));
    } else if (name == "target") {
        std::string type = value;
        std::string norm = "auto";
        for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
            const std::string p = prefix;
            if (type.compare(0, p.size(), p) == 0) {
                norm = p.substr(0, p.size() - 1);
                type = type.substr(p.size());
                break;
            }
        }
        SetTarget(type, norm, "ntsc");
    } else if (name == "threads") {
        throw FFmpegException("TODO: option - " + name);
    } else if (name == "vsync") {
        // The ffmpeg tool's names (cfr, vfr, passthrough, drop, auto) or its numbers -1..2.
        int method = 0;
        if (!ParseVideoSyncMethod(Trim(value).c_str(), method))
            throw FFmpegException("Invalid video sync method: '" + value +
                                  "' (auto, passthrough, cfr, vfr, drop or -1..2)");
        FOpt.VideoSyncMethod = method;
    } else if (name == "async") {
        FOpt.AudioSyncMethod = ParseInt(value);
    } else if (name == "adrift_threshold") {
        FOpt.AudioDriftThreshold = ParseFloat(value);
    } else if (name == "vglobal") {
        FOpt.VideoGlobalHeader = ParseInt(value);
    } else if (name == "copyts") {
        FOpt.CopyTs = true;
    } else if (name == "shortest") {
        FOpt.OptShortest = ParseBool(value);
    } else if (name == "dts_delta_threshold") {
        FOpt.DtsDeltaThreshold = ParseFloat(value);
    } else if (name == "programid") {
        FOpt.ProgramId = ParseInt(value);
    } else if (name == "xerror") {
        FOpt.ExitOnError = true;
    } else if (name == "copyinkf") {
        FOpt.CopyInitialNonKeyframes = ParseInt(value);
    } else if (IsOneOf(name, {"b", "vb", "ab"})) {
        SetBitrateOption(name, value);
    } else if (name == "isync") {
        FOpt.InputSync = ParseBool(value);
    } else if (name == "muxdelay") {
        FOpt.MuxMaxDelay = ParseFloat(value);
    } else if (name == "muxpreload") {
        FOpt.MuxPreload = ParseFloat(value);
    } else if (IsOneOf(name, {"absf", "vbsf", "sbsf"})) {
        AddBitstreamFilter(name, value);
    } else if (IsOneOf(name, {"apre", "vpre", "spre", "fpre"})) {
        SetPreset(name, value);
    } else {
        return false;
    }
    return true;
}

void TCustomFFmpeg::SetTimeOption(const std::string& name, const std::string& value) {
    const bool duration = name != "timestamp";
    int64_t us = 0;
    if (ff::av_parse_time(&us, value.c_str(), duration ? 1 : 0) < 0)
        throw FFmpegException::Format("Invalid %s specification for %s: %s",
                                      duration ? "duration" : "date", name.c_str(), value.c_str());
    if (name == "t") {
        FOpt.RecordingTime = us;
        FOpt.TotalDuration = us;
    } else if (name == "ss") {
        FOpt.StartTime = us;
    } else if (name == "itsoffset") {
        FOpt.InputTsOffset = us;
    } else {
        FOpt.RecordingTimestamp = std::llround(double(us) / 1000000.0);
    }
}

void TCustomFFmpeg::SetBitrateOption(const std::string& name, const std::string& value) {
    SetGenericOption(name, value);
    // Catch the common slip of giving kbit/s where the libraries count bit/s.
    AVCodecContext* ctx = FOptCtx.Codec(name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO);
    int64_t bitRate = 0;
    if (ctx != nullptr && ff::av_opt_get_int(ctx, "b", 0, &bitRate) >= 0 && bitRate < 1000)
        LogText(llWarning, "WARNING: The bitrate parameter is set too low. It takes bits/s as "
                           "argument, not kbits/s");
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& name, const std::string& value) {
    if (!value.empty() && value[0] == '=')
        return;
    const size_t eq = value.find('=');
    const std::string filterName = value.substr(0, eq);
    const AVBitStreamFilter* filter = ff::av_bsf_get_by_name(filterName.c_str());
    TBitstreamFilter entry;
    AVBSFContext* ctx = nullptr;
    if (filter == nullptr || ff::av_bsf_alloc(filter, &ctx) < 0)
        throw FFmpegException::Format("Unknown bitstream filter %s", Trim(value).c_str());
    entry.Context.reset(ctx);
    if (eq != std::string::npos)
        entry.Args = value.substr(eq + 1);
    TBitstreamFilterChain& chain = name[0] == 'a'   ? FOpt.AudioBitstreamFilters
                                   : name[0] == 'v' ? FOpt.VideoBitstreamFilters
                                                    : FOpt.SubtitleBitstreamFilters;
    chain.push_back(std::move(entry));
}

void TCustomFFmpeg::NewStreamOption(AVMediaType type) {
    if (OutputFileCount() == 0)
        throw FFmpegException("At least one output file must be specified");
    if (FNewStreamHandler)
        FNewStreamHandler(type);
}

bool TCustomFFmpeg::SetOptionVideo(const std::string& name, const std::string& value) {
    if (name == "vframes") {
        FOpt.MaxVideoFrames = ParseInt(value);
    } else if (name == "r") {
        AVRational rate{0, 0};
        if (ff::av_parse_video_rate(&rate, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame rate");
        FOpt.FrameRate = rate;
    } else if (name == "s") {
        int w = 0, h = 0;
        if (ff::av_parse_video_size(&w, &h, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame size");
        FOpt.FrameWidth = FOpt.FrameSizeGivenWidth = w;
        FOpt.FrameHeight = FOpt.FrameSizeGivenHeight = h;
    } else if (name == "aspect") {
        double ar = 0;
        const size_t colon = value.find(':');
        if (colon != std::string::npos) {
            const long x = std::strtol(value.c_str(), nullptr, 10);
            const long y = std::strtol(value.c_str() + colon + 1, nullptr, 10);
            ar = y > 0 ? double(x) / double(y) : 0;
        } else {
            ar = std::strtod(value.c_str(), nullptr);
        }
        // A negative ratio is as meaningless as a zero one and would flip every picture.
        if (!(ar > 0))
            throw FFmpegException("Incorrect aspect ratio specification.");
        FOpt.FrameAspectRatio = FOpt.FrameAspectGiven = ar;
    } else if (name == "pix_fmt") {
        if (value == "list") {
            for (int i = 0;; ++i) {
                const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(AVPixelFormat(i));
                if (d == nullptr)
                    break;
                LogText(
                    llInfo,
                    QString::asprintf("%-16s %d", d->name, int(d->nb_components)).toStdString());
            }
        } else {
            const AVPixelFormat fmt = ff::av_get_pix_fmt(value.c_str());
            if (fmt == AV_PIX_FMT_NONE)
                throw FFmpegException::Format("Unknown pixel format requested: %s", value.c_str());
            FOpt.FramePixFmt = fmt;
        }
    } else if (IsOneOf(name, {"croptop", "cropbottom", "cropleft", "cropright"})) {
        SetCrop(name, ParseInt(value));
    } else if (IsOneOf(name, {"padtop", "padbottom", "padleft", "padright", "padcolor"})) {
        throw FFmpegException("Removed, use the pad filter instead");
    } else if (name == "intra") {
        FOpt.IntraOnly = ParseBool(value);
    } else if (name == "vn") {
        FOpt.VideoDisable = ParseBool(value);
    } else if (name == "vdt") {
        FOpt.VideoDiscard = ParseInt(value);
    } else if (name == "qscale") {
        const double q = ParseFloat(value);
        if (!(q > 0 && q <= 255))
            throw FFmpegException("qscale must be > 0.0 and <= 255");
        FOpt.VideoQScale = q;
    } else if (name == "rc_override") {
        FOpt.RcOverride = value;
    } else if (name == "vcodec") {
        SetCodecName(value, FOpt.VideoCodecName, FOpt.VideoStreamCopy);
    } else if (name == "me_threshold") {
        FOpt.MeThreshold = ParseInt(value);
    } else if (name == "sameq") {
        FOpt.SameQuality = ParseBool(value);
    } else if (name == "pass") {
        const int pass = ParseInt(value);
        if (pass != 1 && pass != 2)
            throw FFmpegException("pass number can be only 1 or 2");
        FOpt.DoPass = pass;
    } else if (name == "passlogfile") {
        FOpt.PassLogFileName = value;
    } else if (name == "deinterlace") {
        FOpt.DoDeinterlace = ParseBool(value);
    } else if (name == "psnr") {
        FOpt.DoPSNR = ParseBool(value);
    } else if (name == "vstats") {
        const QString dir = QCoreApplication::applicationDirPath() + "/";
        const QString time = QTime::currentTime().toString("hhmmss");
        FOpt.VStatsFileName = QString("%1vstats_%2.log").arg(dir, time).toLocal8Bit().toStdString();
    } else if (name == "vstats_file") {
        FOpt.VStatsFileName = value;
    } else if (name == "vhook") {
        const QStringList args =
            QString::fromLocal8Bit(value.c_str()).split(' ', Qt::SkipEmptyParts);
        if (AddFrameHook(FFrameHooks, args) != 0)
            throw FFmpegException("Failed to add video hook function: " + value);
    } else if (name == "vfilters" || name == "vf") {
        FOpt.VideoFilters = value;
    } else if (name == "intra_matrix") {
        FOpt.IntraMatrix = ParseMatrix(value);
    } else if (name == "inter_matrix") {
        FOpt.InterMatrix = ParseMatrix(value);
    } else if (name == "top") {
        FOpt.FrameTopFieldFirst = ParseInt(value);
    } else if (name == "dc") {
        FOpt.IntraDCPrecision = ParseInt(value);
    } else if (name == "vtag") {
        FOpt.VideoCodecTag = CodecTag(value);
    } else if (name == "newvideo") {
        NewStreamOption(AVMEDIA_TYPE_VIDEO);
    } else if (name == "vlang") {
        FOpt.VideoLanguage = value;
    } else if (name == "qphist") {
        FOpt.QpHist = ParseBool(value);
    } else if (name == "force_fps") {
        FOpt.ForceFps = ParseBool(value);
    } else if (name == "streamid") {
        const size_t colon = value.find(':');
        const auto syntaxError = [&] {
            return FFmpegException::Format(
                "Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"",
                value.c_str(), name.c_str());
        };
        if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
            throw syntaxError();
        const int index = ParseInt(value.substr(0, colon));
        const int id = ParseInt(value.substr(colon + 1));
        // The table has one entry per output stream index; outside it there is nothing to set.
        if (index < 0 || index >= MaxStreams)
            throw syntaxError();
        FOpt.StreamIds[index] = id;
    } else if (name == "vc") {
        FOpt.VideoChannel = ParseInt(value);
    } else if (name == "tvstd") {
        FOpt.VideoStandard = value;
    } else {
        return false;
    }
    return true;
}

void TCustomFFmpeg::SetCrop(const std::string& name, int value) {
    if (value <= 0)
        return;
    const bool vertical = name == "croptop" || name == "cropbottom";
    int& size = vertical ? FOpt.FrameHeight : FOpt.FrameWidth;
    if (value >= size)
        throw FFmpegException(
            std::string(vertical ? "Vertical" : "Horizontal") +
            " crop dimensions are outside the range of the original image.\nRemember to crop "
            "first and scale second.");
    LogText(llWarning, "CropXXX is deprecated in favor of the crop avfilter");
    // A size asked for with "s" stays asked for, less the crop.
    int& given = vertical ? FOpt.FrameSizeGivenHeight : FOpt.FrameSizeGivenWidth;
    if (given == size)
        given -= value;
    size -= value;
    if (name == "croptop")
        FOpt.CropTop = value;
    else if (name == "cropbottom")
        FOpt.CropBottom = value;
    else if (name == "cropleft")
        FOpt.CropLeft = value;
    else
        FOpt.CropRight = value;
}

bool TCustomFFmpeg::SetOptionAudioSubtitle(const std::string& name, const std::string& value) {
    if (name == "aframes") {
        FOpt.MaxAudioFrames = ParseInt(value);
    } else if (name == "aq") {
        FOpt.AudioQScale = ParseFloat(value);
    } else if (name == "ar") {
        SetAudioSampleRate(ParseInt(value));
    } else if (name == "ac") {
        SetAudioChannels(ParseInt(value));
    } else if (name == "an") {
        FOpt.AudioDisable = ParseBool(value);
    } else if (name == "acodec") {
        SetCodecName(value, FOpt.AudioCodecName, FOpt.AudioStreamCopy);
    } else if (name == "atag") {
        FOpt.AudioCodecTag = CodecTag(value);
    } else if (name == "vol") {
        FOpt.AudioVolume = ParseInt(value);
    } else if (name == "newaudio") {
        NewStreamOption(AVMEDIA_TYPE_AUDIO);
    } else if (name == "alang") {
        FOpt.AudioLanguage = value;
    } else if (name == "sample_fmt") {
        if (value == "list") {
            for (int i = 0; i < AV_SAMPLE_FMT_NB; ++i) {
                const char* n = ff::av_get_sample_fmt_name(AVSampleFormat(i));
                if (n != nullptr)
                    LogText(llInfo,
                            QString::asprintf("%-6s   %2d ", n,
                                              ff::av_get_bytes_per_sample(AVSampleFormat(i)) * 8)
                                .toStdString());
            }
        } else {
            FOpt.AudioSampleFmt = ff::av_get_sample_fmt(value.c_str());
        }
    } else if (name == "sn") {
        FOpt.SubtitleDisable = ParseBool(value);
    } else if (name == "scodec") {
        SetCodecName(value, FOpt.SubtitleCodecName, FOpt.SubtitleStreamCopy);
    } else if (name == "newsubtitle") {
        NewStreamOption(AVMEDIA_TYPE_SUBTITLE);
    } else if (name == "slang") {
        FOpt.SubtitleLanguage = value;
    } else if (name == "stag") {
        FOpt.SubtitleCodecTag = CodecTag(value);
    } else {
        return false;
    }
    return true;
}

bool TCustomFFmpeg::SetGenericOption(const std::string& name, const std::string& value) {
    if (Trim(name).empty() || Trim(value).empty())
        return false;
    switch (FOptCtx.Set(name, value)) {
    case TFFOptionContexts::srUnknown:
        return false;
    case TFFOptionContexts::srInvalidValue:
        LogText(llError, "Invalid value \"" + value + "\" for option \"" + name + "\"\n");
        return false;
    case TFFOptionContexts::srSet:
        break;
    }
    const AVCodecContext* video = FOptCtx.Codec(AVMEDIA_TYPE_VIDEO);
    const AVFormatContext* format = FOptCtx.Format();
    if ((video != nullptr && video->debug != 0) || (format != nullptr && format->debug != 0))
        ActiveLogger()->SetLogLevel(llDebug);
    return true;
}
