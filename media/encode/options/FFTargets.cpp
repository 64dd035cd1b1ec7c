// Targets: one option that sets everything a disc or camcorder format requires.

#include "media/encode/TCustomFFmpeg.h"

#include "media/FFLog.h"

#include <cmath>

namespace {
enum TNorm { nmPAL, nmNTSC, nmFILM };

// Frame rate × 1000, rounded: 25000 is PAL, 29970 and 23976 NTSC; -1 for no usable rate.
int RateCode(AVRational rate) {
    if (rate.den == 0 || rate.num <= 0)
        return -1;
    return int(std::lround(rate.num * 1000.0 / rate.den));
}

bool NormOfRate(AVRational rate, TNorm& norm) {
    const int code = RateCode(rate);
    if (code == 25000) {
        norm = nmPAL;
        return true;
    }
    if (code == 29970 || code == 23976) {
        norm = nmNTSC;
        return true;
    }
    return false;
}
} // namespace

void TCustomFFmpeg::SetTarget(const std::string& type, const std::string& norm,
                              const std::string& defaultNorm) {
    TNorm n = nmPAL;
    if (norm == "pal") {
        n = nmPAL;
    } else if (norm == "ntsc") {
        n = nmNTSC;
    } else if (norm == "film") {
        n = nmFILM;
    } else {
        if (FOpt.FrameRate.den == 0)
            throw FFmpegException("frame_rate is invalid.");
        bool known = NormOfRate(FOpt.FrameRate, n);
        // The frame rate may be the default one; the inputs' video tells more.
        for (const TInputFile& input : FInputFiles) {
            if (known)
                break;
            for (unsigned i = 0; input.Context && i < input.Context->nb_streams && !known; ++i) {
                const AVStream* st = input.Context->streams[i];
                if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
                    continue;
                known = NormOfRate(st->r_frame_rate, n) || NormOfRate(st->avg_frame_rate, n);
            }
        }
        if (!known)
            n = defaultNorm == "film" ? nmFILM : defaultNorm == "ntsc" ? nmNTSC : nmPAL;
        if (FOpt.Verbose > 0)
            ActiveLogger()->LogFmt(llVerbose, "Assuming %s for target.",
                                   n == nmPAL ? "PAL" : "NTSC");
    }
    const bool pal = n == nmPAL;
    const char* rate = pal ? "25" : n == nmNTSC ? "30000/1001" : "24000/1001";

    const auto assumeAspect = [this](double ratio, const char* text) {
        if (FOpt.FrameAspectRatio == 0) {
            FOpt.FrameAspectRatio = FOpt.FrameAspectGiven = ratio;
            ActiveLogger()->LogFmt(llInfo, "Assuming %s for aspect ratio", text);
        }
    };

    if (type == "vcd") {
        SetOption("vcodec", "mpeg1video");
        SetOption("acodec", "mp2");
        SetOption("f", "vcd");
        SetOption("s", pal ? "352x288" : "352x240");
        SetOption("r", rate);
        SetGenericOption("g", pal ? "15" : "18");
        SetGenericOption("b", "1150000");
        SetGenericOption("maxrate", "1150000");
        SetGenericOption("minrate", "1150000");
        SetGenericOption("bufsize", "327680");
        SetGenericOption("ab", "224000");
        FOpt.AudioSampleRate = 44100;
        FOpt.AudioChannels = 2;
        SetGenericOption("packetsize", "2324");
        SetGenericOption("muxrate", "1411200");
        // Two sectors of video plus one of audio ahead of the first presentation time.
        FOpt.MuxPreload = (36000 + 3 * 1200) / 90000.0;
        assumeAspect(4.0 / 3.0, "4:3");
    } else if (type == "svcd") {
        SetOption("vcodec", "mpeg2video");
        SetOption("acodec", "mp2");
        SetOption("f", "svcd");
        SetOption("s", pal ? "480x576" : "480x480");
        SetOption("r", rate);
        SetGenericOption("g", pal ? "15" : "18");
        SetGenericOption("b", "2040000");
        SetGenericOption("maxrate", "2516000");
        SetGenericOption("minrate", "0");
        SetGenericOption("bufsize", "1835008");
        // The scan offset left the codec flags for the MPEG-2 encoder's own options.
        SetGenericOption("scan_offset", "1");
        SetGenericOption("ab", "224000");
        FOpt.AudioSampleRate = 44100;
        SetGenericOption("packetsize", "2324");
        if (FOpt.AudioChannels == 1)
            FOpt.AudioChannels = 2;
        assumeAspect(4.0 / 3.0, "4:3");
    } else if (type == "dvd") {
        SetOption("vcodec", "mpeg2video");
        SetOption("acodec", "ac3");
        SetOption("f", "dvd");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("r", rate);
        SetGenericOption("g", pal ? "15" : "18");
        SetGenericOption("b", "6000000");
        SetGenericOption("maxrate", "9000000");
        SetGenericOption("minrate", "0");
        SetGenericOption("bufsize", "1835008");
        // A DVD sector carries 2048 bytes, one pack.
        SetGenericOption("packetsize", "2048");
        SetGenericOption("muxrate", "10080000");
        SetGenericOption("ab", "448000");
        FOpt.AudioSampleRate = 48000;
        if (FOpt.AudioChannels == 1)
            FOpt.AudioChannels = 2;
        assumeAspect(16.0 / 9.0, "16:9");
    } else if (type == "dv" || type == "dv50") {
        SetOption("f", "dv");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        SetOption("r", rate);
        FOpt.AudioSampleRate = 48000;
        FOpt.AudioChannels = 2;
    } else {
        throw FFmpegException("Unknown target type");
    }
}
