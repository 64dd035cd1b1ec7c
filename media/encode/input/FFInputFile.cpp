#include "media/encode/input/FFInputFile.h"

#include "media/FFLoad.h"
#include "media/UnicodeProtocol.h"
#include "media/encode/loop/FFLoopSupport.h"

#include <mutex>

using namespace ffstage;

QString TFFInputOpener::FileName(const TInputFile& in) {
    return in.Context ? URLToFileName(in.Context->url) : QString();
}

namespace {

struct DictGuard {
    AVDictionary* d = nullptr;
    ~DictGuard() { ff::av_dict_free(&d); }
};

int CodecStrictness(const TFFOptionContexts& c, AVMediaType type) {
    const AVCodecContext* ctx = c.Codec(type);
    return ctx ? ctx->strict_std_compliance : FF_COMPLIANCE_NORMAL;
}

} // namespace

void TFFInputOpener::ForgetPerInputOptions() {
    S.VideoChannel = 0;
    S.VideoCodecName.clear();
    S.AudioCodecName.clear();
    S.SubtitleCodecName.clear();
    S.PgmyuvCompat = false;
}

bool TFFInputOpener::Open(const QString& fileName, std::string& lastError) {
    TFFOptionState& s = S;
    if (int(Inputs.size()) >= s.MaxInputFiles) {
        lastError = Fmt("max input files %d reached", s.MaxInputFiles);
        return false;
    }
    const AVInputFormat* format = nullptr;
    if (!s.FileFormat.empty()) {
        format = ff::av_find_input_format(s.FileFormat.c_str());
        if (!format)
            Raise(Fmt("Unknown input format: \"%s\"", s.FileFormat.c_str()));
        s.FileFormat.clear();
    }

    AVFormatContext* raw = ff::avformat_alloc_context();
    if (!raw)
        Raise(std::string("avformat_alloc_context failed"));

    // What raw demuxers and devices need to know up front; demuxers that do not take an
    // entry leave it in the dictionary, which is fine.
    DictGuard params;
    ff::av_dict_set(&params.d, "sample_rate", std::to_string(s.AudioSampleRate).c_str(), 0);
    ff::av_dict_set(&params.d, "channels", std::to_string(s.AudioChannels).c_str(), 0);
    if (s.FrameRate.den > 0 && s.FrameRate.num > 0)
        ff::av_dict_set(&params.d, "framerate",
                        Fmt("%d/%d", s.FrameRate.num, s.FrameRate.den).c_str(), 0);
    if (s.FrameWidth > 0 && s.FrameHeight > 0)
        ff::av_dict_set(&params.d, "video_size", Fmt("%dx%d", s.FrameWidth, s.FrameHeight).c_str(),
                        0);
    const char* pixName =
        s.FramePixFmt >= 0 ? ff::av_get_pix_fmt_name(AVPixelFormat(s.FramePixFmt)) : nullptr;
    if (pixName)
        ff::av_dict_set(&params.d, "pixel_format", pixName, 0);
    if (s.VideoChannel)
        ff::av_dict_set(&params.d, "channel", std::to_string(s.VideoChannel).c_str(), 0);
    if (!s.VideoStandard.empty())
        ff::av_dict_set(&params.d, "standard", s.VideoStandard.c_str(), 0);
    // Image sequences loop in their demuxer; other formats are started again by the loop.
    if (s.LoopInput)
        ff::av_dict_set(&params.d, "loop", "1", 0);

    C.CopyTo(C.Format(), raw, AV_OPT_FLAG_DECODING_PARAM);

    // Decoders forced by name apply to every stream of their kind in this input.
    const AVCodec* forced[3] = {nullptr, nullptr, nullptr}; // video, audio, subtitle
    const std::string* names[3] = {&s.VideoCodecName, &s.AudioCodecName, &s.SubtitleCodecName};
    const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
    for (int i = 0; i < 3; ++i) {
        if (names[i]->empty())
            continue;
        forced[i] =
            FindCodecByName(*names[i], types[i], false, CodecStrictness(C, types[i]), lastError);
        if (!forced[i]) {
            ff::avformat_free_context(raw);
            ForgetPerInputOptions();
            return false;
        }
    }
    if (forced[0])
        raw->video_codec_id = forced[0]->id;
    if (forced[1])
        raw->audio_codec_id = forced[1]->id;
    if (forced[2])
        raw->subtitle_codec_id = forced[2]->id;
    raw->flags |= AVFMT_FLAG_NONBLOCK;
    if (s.PgmyuvCompat)
        raw->video_codec_id = AV_CODEC_ID_PGMYUV;

    const QByteArray url = FileNameToURL(fileName);
    int err = OpenInputFile(&raw, fileName, format, &params.d);
    if (err < 0) { // the library freed the context
        lastError = Narrow(fileName) + ": " + FileErrorText(err);
        ForgetPerInputOptions();
        return false;
    }
    TInputFile in;
    in.Context.reset(raw);
    AVFormatContext* ic = raw;

    if (s.ProgramId) {
        bool found = false;
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            ic->streams[i]->discard = AVDISCARD_ALL;
        for (unsigned p = 0; p < ic->nb_programs; ++p) {
            AVProgram* prog = ic->programs[p];
            if (prog->id == s.ProgramId) {
                found = true;
                prog->discard = AVDISCARD_DEFAULT;
                for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
                    ic->streams[prog->stream_index[k]]->discard = AVDISCARD_DEFAULT;
            } else {
                prog->discard = AVDISCARD_ALL;
            }
        }
        s.ProgramId = 0;
        if (!found) {
            lastError = "Specified program id not found";
            ForgetPerInputOptions();
            return false;
        }
    }
    in.Loop = s.LoopInput && !(ic->priv_data && ff::av_opt_find(ic->priv_data, "loop", nullptr, 0,
                                                                 0) != nullptr);
    {
        const auto codecs = LockCodecs();
        err = ff::avformat_find_stream_info(ic, nullptr);
    }
    if (err < 0 && s.Verbose >= 0) {
        lastError = Narrow(fileName) + ": could not find codec parameters";
        Log(TStageLog::Verbose, QString::fromLocal8Bit(lastError.c_str()));
        ForgetPerInputOptions();
        return false;
    }

    int64_t timestamp = s.StartTime;
    if (ic->start_time != AV_NOPTS_VALUE)
        timestamp += ic->start_time;
    if (s.StartTime != 0) {
        err = ff::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
        if (err < 0 && s.Verbose > 0)
            Log(TStageLog::Verbose,
                QString::fromLocal8Bit(Fmt("%s: could not seek to position %0.3f",
                                           Narrow(fileName).c_str(), double(timestamp) / 1e6)
                                           .c_str()));
    }
    s.StartTime = 0; // a start given before an input is consumed by its seek

    std::vector<const AVCodec*> decoders(ic->nb_streams, nullptr);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            decoders[i] = forced[0];
            ReportFrameRates(st);
            if (s.VideoDisable)
                st->discard = AVDISCARD_ALL;
            else if (s.VideoDiscard)
                st->discard = AVDiscard(s.VideoDiscard);
            break;
        case AVMEDIA_TYPE_AUDIO:
            decoders[i] = forced[1];
            if (s.AudioDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            decoders[i] = forced[2];
            if (s.SubtitleDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
            break;
        default:
            Raise(std::string("invalid codec_type"));
        }
    }
    ReadStreamSettings(ic);
    ApplyLowres(ic);
    if (s.MeThreshold && !s.MeThresholdReported) {
        // The decoder's motion-vector debugging went with it; nothing takes its place.
        s.MeThresholdReported = true;
        Log(TStageLog::Info, QStringLiteral("me_threshold has no equivalent in this version of "
                                            "the libraries and is ignored"));
    }

    if (ic->duration != AV_NOPTS_VALUE && ic->duration > s.TotalDuration)
        s.TotalDuration = ic->duration;
    in.TsOffset = s.CopyTs ? s.InputTsOffset : s.InputTsOffset - timestamp;
    in.TsScale = s.InputTsScale[Inputs.size()];

    if (s.Verbose >= 0)
        ff::av_dump_format(ic, int(Inputs.size()), url.constData(), 0);

    Inputs.push_back(std::move(in));
    InputCodecs.insert(InputCodecs.end(), decoders.begin(), decoders.end());
    ForgetPerInputOptions();
    return true;
}

void TFFInputOpener::ReportFrameRates(const AVStream* st) const {
    // The libraries no longer expose the decoder's own rate; the stream's average rate is what
    // the codec's timing works out to, the real base rate what the container claims.
    const AVRational codec = st->avg_frame_rate;
    const AVRational container = st->r_frame_rate;
    if (S.Verbose < 0 || !codec.num || !codec.den || !container.num || !container.den ||
        av_cmp_q(codec, container) == 0)
        return;
    Log(TStageLog::Info,
        QString::fromLatin1(Fmt("Seems stream %d codec frame rate differs from container frame "
                                "rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
                                st->index, av_q2d(codec), codec.num, codec.den,
                                av_q2d(container), container.num, container.den)
                                .c_str()));
}

void TFFInputOpener::ApplyLowres(const AVFormatContext* ic) {
    // A reduced decode gives pictures, and samples, smaller by a power of two; outputs made
    // afterwards inherit the reduced sizes.
    int64_t lowres = 0;
    if (ff::av_opt_get_int(C.Codec(AVMEDIA_TYPE_VIDEO), "lowres", 0, &lowres) < 0 || lowres <= 0)
        return;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVStream* st = ic->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            S.FrameWidth = st->codecpar->width >> lowres;
            S.FrameHeight = st->codecpar->height >> lowres;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
                   st->codecpar->sample_rate > 0) {
            S.AudioSampleRate = st->codecpar->sample_rate >> lowres;
        }
    }
}

void TFFInputOpener::ReadStreamSettings(AVFormatContext* ic) {
    TFFOptionState& s = S;
    // An output created afterwards inherits the parameters of the last audio and video stream
    // unless options set them again. A cover picture is not the input's video.
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            s.AudioChannels =
                par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels : s.AudioChannels;
            s.AudioChannelLayout =
                par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
            if (par->sample_rate > 0)
                s.AudioSampleRate = par->sample_rate;
            s.AudioSampleFmt = par->format;
        } else if (par->codec_type == AVMEDIA_TYPE_VIDEO &&
                   !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            s.FrameWidth = par->width;
            s.FrameHeight = par->height;
            AVRational sar =
                st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
            if (par->width && par->height)
                s.FrameAspectRatio = (sar.num ? av_q2d(sar) : 1.0) * par->width / par->height;
            else if (s.FrameAspectRatio == 0)
                s.FrameAspectRatio = 4.0 / 3.0;
            s.FramePixFmt = par->format < 0 ? 0 : par->format;
            if (st->r_frame_rate.num && st->r_frame_rate.den)
                s.FrameRate = st->r_frame_rate;
        }
    }
}

bool TCustomFFmpeg::OpenInputFile(const QString& fileName) {
    return TFFInputOpener(FOpt, FOptCtx, FInputFiles, FInputCodecs).Open(fileName, FLastErrorText);
}
