#include "media/encode/FFOutputOpener.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

using namespace ffstage;

namespace {

// Option codec contexts are indexed video, audio, data, subtitle, attachment.
AVCodecContext* OptionContext(const TFFLoopSettings& s, AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return s.OptionCodecContexts[0];
    case AVMEDIA_TYPE_AUDIO:
        return s.OptionCodecContexts[1];
    case AVMEDIA_TYPE_SUBTITLE:
        return s.OptionCodecContexts[3];
    default:
        return nullptr;
    }
}

const AVCodec* ChooseEncoder(const std::string& name, AVMediaType type, const AVOutputFormat* fmt,
                             const QString& fileName, const TFFLoopSettings& s) {
    if (!name.empty()) {
        std::string err;
        AVCodecContext* oc = OptionContext(s, type);
        const AVCodec* c = FindCodecByName(
            name, type, true, oc ? oc->strict_std_compliance : FF_COMPLIANCE_NORMAL, err);
        if (!c)
            Raise(err);
        return c;
    }
    const QByteArray fn = fileName.toUtf8();
    AVCodecID id = ff::av_guess_codec(fmt, nullptr, fn.constData(), nullptr, type);
    return id == AV_CODEC_ID_NONE ? nullptr : ff::avcodec_find_encoder(id);
}

} // namespace

void TFFOutputOpener::ScanInputKinds(const TFFInputList& inputs, bool firstOnly, bool& video,
                                     bool& audio, bool& subtitle) {
    video = audio = subtitle = false;
    for (const auto& in : inputs) {
        for (unsigned i = 0; i < in->Context->nb_streams; ++i) {
            const AVStream* st = in->Context->streams[i];
            switch (st->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                // An embedded cover picture is part of the tags, not a video of the input.
                if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
                    video = true;
                break;
            case AVMEDIA_TYPE_AUDIO:
                audio = true;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                subtitle = true;
                break;
            case AVMEDIA_TYPE_DATA:
            case AVMEDIA_TYPE_ATTACHMENT:
                break;
            default:
                throw std::runtime_error("unknown input stream type");
            }
        }
        if (firstOnly)
            break;
    }
}

int TFFOutputOpener::Open(TFFLoopSettings& s, const QString& fileName, bool join,
                          const TFFInputList& inputs, TFFOutputList& outputs, bool& joinMode,
                          std::string& lastError) {
    if (joinMode) {
        lastError = "Cannot join more than one output file.";
        return -1;
    }
    if (int(outputs.size()) >= MaxFilesPerEngine) {
        lastError = Fmt("max output files %d reached", MaxFilesPerEngine);
        return -1;
    }
    // Writing would truncate the source before a single packet was read from it.
    for (const auto& in : inputs) {
        if (SameFile(in->FileName, fileName)) {
            lastError = Narrow(fileName) + ": the output file is the same file as the input";
            return -1;
        }
    }

    const QByteArray fn = fileName.toUtf8();
    const AVOutputFormat* fmt = nullptr;
    if (!s.ForcedFormat.empty()) {
        fmt = ff::av_guess_format(s.ForcedFormat.c_str(), nullptr, nullptr);
        if (!fmt) {
            lastError = Fmt("Requested output format '%s' is not a suitable output format",
                            s.ForcedFormat.c_str());
            return -1;
        }
        s.ForcedFormat.clear();
    } else {
        fmt = ff::av_guess_format(nullptr, fn.constData(), nullptr);
        if (!fmt) {
            lastError = "Unable to find a suitable output format for '" + Narrow(fileName) + "'";
            return -1;
        }
    }
    AVFormatContext* oc = nullptr;
    if (ff::avformat_alloc_output_context2(&oc, fmt, nullptr, fn.constData()) < 0 || !oc)
        Raise(std::string("avformat_alloc_context failed"));
    auto out = std::make_unique<TFFOutputFile>(fileName);
    out->SetContext(oc);

    bool useVideo =
        s.VideoStreamCopy || fmt->video_codec != AV_CODEC_ID_NONE || !s.VideoCodecName.empty();
    bool useAudio =
        s.AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !s.AudioCodecName.empty();
    bool useSubtitle = s.SubtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE ||
                       !s.SubtitleCodecName.empty();
    if (!inputs.empty()) {
        bool v, a, t;
        try {
            ScanInputKinds(inputs, join, v, a, t);
        } catch (const std::exception& e) {
            lastError = Fmt("check_audio_video_sub_inputs fail: %s", e.what());
            return -1;
        }
        useVideo = useVideo && v;
        useAudio = useAudio && a;
        useSubtitle = useSubtitle && t;
    }
    if (s.AudioDisable)
        useAudio = false;
    if (s.SubtitleDisable)
        useSubtitle = false;
    if (s.VideoDisable)
        useVideo = false;

    const char* step = "new_video_stream fail: %s";
    try {
        if (useVideo)
            NewVideoStream(s, *out);
        step = "new_audio_stream fail: %s";
        if (useAudio)
            NewAudioStream(s, *out);
        step = "new_subtitle_stream fail: %s";
        if (useSubtitle)
            NewSubtitleStream(s, *out);
    } catch (const std::exception& e) {
        lastError = Fmt(step, e.what());
        return -1;
    }
    // Whatever stream options were not consumed belong to this output only.
    s.AudioDisable = s.VideoDisable = s.SubtitleDisable = false;

    MoveMetadata(s, oc);

    if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(fn.constData())) {
        lastError = Narrow(fileName) + ": Number syntax expected in filename";
        return -1;
    }
    if (!(fmt->flags & AVFMT_NOFILE) && !out->OpenFile(lastError))
        return -1;

    oc->max_delay = int(s.MuxMaxDelay * 1000000);
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    CopyGenericOptions(s.OptionFormatContext, oc, AV_OPT_FLAG_ENCODING_PARAM, s.OptionNames);
    s.StreamIds = {};

    if (join && inputs.size() > 1) {
        joinMode = true;
        int64_t sum = 0;
        for (const auto& in : inputs)
            if (in->Context->duration != AV_NOPTS_VALUE)
                sum += in->Context->duration;
        s.TotalDuration = sum ? sum : -1;
    }
    outputs.push_back(std::move(out));
    return int(outputs.size());
}

void TFFOutputOpener::MoveMetadata(TFFLoopSettings& s, AVFormatContext* oc) {
    if (s.RecordingTimestamp) {
        time_t t = time_t(s.RecordingTimestamp);
        struct tm tmv {};
        gmtime_r(&t, &tmv);
        char buf[32];
        strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tmv);
        ff::av_dict_set(&oc->metadata, "creation_time", buf, 0);
    }
    // Keys of the engine's vocabulary that the muxers know under other names now.
    auto convert = [](const std::string& key) -> std::string {
        if (key == "author")
            return "artist";
        if (key == "year")
            return "date";
        return key;
    };
    for (auto it = s.Metadata.rbegin(); it != s.Metadata.rend(); ++it)
        ff::av_dict_set(&oc->metadata, convert(it->first).c_str(), it->second.c_str(), 0);
    s.Metadata.clear();
}

AVStream* TFFOutputOpener::NewStream(TFFLoopSettings& s, TFFOutputFile& out, AVMediaType type,
                                     const AVCodec* encoder, uint32_t tag) {
    AVFormatContext* oc = out.Context();
    AVStream* st = ff::avformat_new_stream(oc, nullptr);
    if (!st)
        Raise(std::string("Could not alloc stream"));
    const int index = int(oc->nb_streams) - 1;
    st->id = index < MaxStreamsPerFile ? s.StreamIds[size_t(index)] : 0;
    TFFOutputStreamSetup setup;
    setup.Codec.reset(ff::avcodec_alloc_context3(encoder));
    if (!setup.Codec)
        Raise(std::string("Could not alloc stream"));
    AVCodecContext* c = setup.Codec.get();
    c->codec_type = type;
    c->thread_count = s.ThreadCount;
    if (tag)
        c->codec_tag = tag;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    setup.Encoder = encoder;
    out.Streams().push_back(std::move(setup));
    return st;
}

void TFFOutputOpener::NewAudioStream(TFFLoopSettings& s, TFFOutputFile& out) {
    const AVCodec* encoder = nullptr;
    const bool copy = s.AudioStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(s.AudioCodecName, AVMEDIA_TYPE_AUDIO, out.Context()->oformat,
                                out.FileName(), s);
    AVStream* st = NewStream(s, out, AVMEDIA_TYPE_AUDIO, encoder, s.AudioCodecTag);
    TFFOutputStreamSetup& setup = out.Streams().back();
    AVCodecContext* c = setup.Codec.get();
    setup.Copy = copy;
    c->sample_rate = s.AudioSampleRate;
    AVChannelLayout layout = ChannelLayout(s.AudioChannels, s.AudioChannelLayout);
    ff::av_channel_layout_uninit(&c->ch_layout);
    c->ch_layout = layout;
    if (!copy) {
        CopyGenericOptions(OptionContext(s, AVMEDIA_TYPE_AUDIO), c,
                           AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM, s.OptionNames);
        if (encoder)
            c->codec_id = encoder->id;
        if (s.AudioQScale > -99999.0f) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = int(FF_QP2LAMBDA * s.AudioQScale);
        }
        c->sample_fmt = s.AudioSampleFmt;
        if (encoder && encoder->sample_fmts) {
            bool listed = false;
            for (const AVSampleFormat* f = encoder->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
                listed = listed || *f == c->sample_fmt;
            if (!listed)
                c->sample_fmt = encoder->sample_fmts[0];
        }
        if (encoder && encoder->supported_samplerates) {
            int best = encoder->supported_samplerates[0];
            for (const int* r = encoder->supported_samplerates; *r; ++r)
                if (std::abs(*r - c->sample_rate) < std::abs(best - c->sample_rate))
                    best = *r;
            if (best != c->sample_rate) {
                Log(TStageLog::Warning,
                    QString::asprintf("Requested sampling rate unsupported using closest "
                                      "supported (%d)",
                                      best));
                c->sample_rate = best;
            }
        }
    }
    c->time_base = AVRational{1, c->sample_rate > 0 ? c->sample_rate : 1};
    st->time_base = c->time_base;
    if (!s.AudioLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", s.AudioLanguage.c_str(), 0);
    s.AudioLanguage.clear();
    s.AudioDisable = false;
    s.AudioCodecName.clear();
    s.AudioStreamCopy = false;
}

void TFFOutputOpener::NewVideoStream(TFFLoopSettings& s, TFFOutputFile& out) {
    const AVCodec* encoder = nullptr;
    const bool copy = s.VideoStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(s.VideoCodecName, AVMEDIA_TYPE_VIDEO, out.Context()->oformat,
                                out.FileName(), s);
    AVStream* st = NewStream(s, out, AVMEDIA_TYPE_VIDEO, encoder, s.VideoCodecTag);
    TFFOutputStreamSetup& setup = out.Streams().back();
    AVCodecContext* c = setup.Codec.get();
    setup.Copy = copy;
    if (!copy) {
        CopyGenericOptions(OptionContext(s, AVMEDIA_TYPE_VIDEO), c,
                           AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM, s.OptionNames);
        if (encoder)
            c->codec_id = encoder->id;
        AVRational rate = s.FrameRate.den ? s.FrameRate : AVRational{25, 1};
        if (encoder && encoder->supported_framerates)
            rate = encoder->supported_framerates[ff::av_find_nearest_q_idx(
                rate, encoder->supported_framerates)];
        c->time_base = av_inv_q(rate);
        c->framerate = rate;
        c->width = s.FrameWidth;
        c->height = s.FrameHeight;
        if (s.FrameAspectRatio > 0 && c->width && c->height)
            c->sample_aspect_ratio = ff::av_d2q(s.FrameAspectRatio * c->height / c->width, 255);
        c->pix_fmt = s.FramePixFmt;
        if (encoder && encoder->pix_fmts) {
            bool listed = false;
            for (const AVPixelFormat* f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
                listed = listed || *f == c->pix_fmt;
            if (!listed)
                c->pix_fmt = encoder->pix_fmts[0];
        }
        st->time_base = c->time_base;
    }
    if (!s.VideoLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", s.VideoLanguage.c_str(), 0);
    s.VideoLanguage.clear();
    s.VideoDisable = false;
    s.VideoCodecName.clear();
    s.VideoStreamCopy = false;
}

void TFFOutputOpener::NewSubtitleStream(TFFLoopSettings& s, TFFOutputFile& out) {
    const AVCodec* encoder = nullptr;
    const bool copy = s.SubtitleStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(s.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, out.Context()->oformat,
                                out.FileName(), s);
    AVStream* st = NewStream(s, out, AVMEDIA_TYPE_SUBTITLE, encoder, s.SubtitleCodecTag);
    TFFOutputStreamSetup& setup = out.Streams().back();
    setup.Copy = copy;
    if (!copy) {
        CopyGenericOptions(OptionContext(s, AVMEDIA_TYPE_SUBTITLE), setup.Codec.get(),
                           AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM, s.OptionNames);
        if (encoder)
            setup.Codec->codec_id = encoder->id;
    }
    if (!s.SubtitleLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", s.SubtitleLanguage.c_str(), 0);
    s.SubtitleLanguage.clear();
    s.SubtitleDisable = false;
    s.SubtitleCodecName.clear();
    s.SubtitleStreamCopy = false;
}
