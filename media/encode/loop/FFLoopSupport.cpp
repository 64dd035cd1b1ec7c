#include "media/encode/loop/FFLoopSupport.h"

#include "media/FFLog.h"
#include "media/FFUtils.h"
#include "media/FileNameBytes.h"
#include "media/UnicodeProtocol.h"
#if __has_include("media/encode/FFmpegException.h")
#include "media/encode/FFmpegException.h"
#define SNIP_HAVE_FFMPEG_EXCEPTION 1
#endif

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace ffstage {

void Raise(const std::string& msg) {
#ifdef SNIP_HAVE_FFMPEG_EXCEPTION
    throw FFmpegException(msg);
#else
    throw std::runtime_error(msg);
#endif
}

void Raise(const QString& msg) {
    Raise(Narrow(msg));
}

void Log(TStageLog level, const QString& msg) {
    ActiveLogger()->Log(static_cast<TLogLevel>(level), msg);
}

std::string Fmt(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(size_t(n));
        std::vsnprintf(out.data(), size_t(n) + 1, fmt, ap2);
    }
    va_end(ap2);
    return out;
}

std::string LibErrorText(int err) {
    return ::LibErrorText(err).toStdString();
}

std::string FileErrorText(int err) {
    return ::FileErrorText(err).toLocal8Bit().toStdString();
}

std::string Narrow(const QString& s) {
    return EncodeFileName(s).toStdString();
}

FramePtr NewFrame() {
    FramePtr f(ff::av_frame_alloc());
    if (!f)
        Raise(std::string("Not enough memory"));
    return f;
}

PacketPtr NewPacket() {
    PacketPtr p(ff::av_packet_alloc());
    if (!p)
        Raise(std::string("Not enough memory"));
    return p;
}

AVChannelLayout ChannelLayout(int channels, uint64_t mask) {
    AVChannelLayout layout{};
    if (mask && ff::av_channel_layout_from_mask(&layout, mask) == 0 &&
        layout.nb_channels == channels)
        return layout;
    ff::av_channel_layout_uninit(&layout);
    ff::av_channel_layout_default(&layout, channels);
    return layout;
}

} // namespace ffstage

#include <sys/stat.h>

namespace ffstage {

const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder,
                               int strictness, std::string& err) {
    const char* kind = encoder ? "encoder" : "decoder";
    const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                                   : ff::avcodec_find_decoder_by_name(name.c_str());
    if (!codec) {
        err = Fmt("Unknown %s '%s'", kind, name.c_str());
        return nullptr;
    }
    if (codec->type != type) {
        err = Fmt("Invalid %s type '%s'", kind, name.c_str());
        return nullptr;
    }
    if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) &&
        strictness > FF_COMPLIANCE_EXPERIMENTAL) {
        err = Fmt("%s '%s' is experimental and might produce bad results.\r\nAdd '-strict "
                  "experimental' if you want to use it.",
                  kind, codec->name);
        const AVCodec* alt =
            encoder ? ff::avcodec_find_encoder(codec->id) : ff::avcodec_find_decoder(codec->id);
        if (alt && !(alt->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            err += Fmt("\r\nOr use the non experimental %s '%s'.", kind, alt->name);
        return nullptr;
    }
    return codec;
}

const char* MediaTypeText(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return "video";
    case AVMEDIA_TYPE_AUDIO:
        return "audio";
    case AVMEDIA_TYPE_DATA:
        return "data";
    case AVMEDIA_TYPE_SUBTITLE:
        return "subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
        return "attachment";
    default:
        return "unknown";
    }
}

bool SameFile(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    const QByteArray na = EncodeFileName(a), nb = EncodeFileName(b);
    if (::stat(na.constData(), &sa) != 0 || ::stat(nb.constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace ffstage
