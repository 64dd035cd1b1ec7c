#include "media/encode/output/FFOutputOpener.h"

#include "media/decode/TFFDecoder.h"
#include "media/encode/input/FFInputFile.h"
#include "media/encode/loop/FFLoopRunState.h"
#include "media/encode/loop/FFLoopSupport.h"
#include "media/encode/video/FFVideoEncoderSetup.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

using namespace ffstage;

const AVCodec* TFFOutputOpener::ChooseEncoder(int fileIndex, const std::string& name,
                                              AVMediaType type) const {
    if (!name.empty()) {
        std::string err;
        const AVCodecContext* oc = C.Codec(type);
        const AVCodec* c = FindCodecByName(
            name, type, true, oc ? oc->strict_std_compliance : FF_COMPLIANCE_NORMAL, err);
        if (!c)
            Raise(err);
        return c;
    }
    const QByteArray fn = Extras[size_t(fileIndex)].FileName.toUtf8();
    AVCodecID id = ff::av_guess_codec(Outputs[size_t(fileIndex)].Context->oformat, nullptr,
                                      fn.constData(), nullptr, type);
    return id == AV_CODEC_ID_NONE ? nullptr : ff::avcodec_find_encoder(id);
}

void TFFOutputOpener::ScanInputKinds(bool firstOnly, bool& video, bool& audio,
                                     bool& subtitle) const {
    video = audio = subtitle = false;
    for (const TInputFile& in : Inputs) {
        for (unsigned i = 0; i < in.Context->nb_streams; ++i) {
            const AVStream* st = in.Context->streams[i];
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

int TFFOutputOpener::Open(const QString& fileName, bool join, bool& joinMode,
                          std::string& lastError) {
    if (joinMode) {
        lastError = "Cannot join more than one output file.";
        return -1;
    }
    if (int(Outputs.size()) >= S.MaxOutputFiles) {
        lastError = Fmt("max output files %d reached", S.MaxOutputFiles);
        return -1;
    }
    // Writing would truncate the source before a single packet was read from it.
    for (const TInputFile& in : Inputs) {
        if (SameFile(TFFInputOpener::FileName(in), fileName)) {
            lastError = Narrow(fileName) + ": the output file is the same file as the input";
            return -1;
        }
    }

    const QByteArray fn = fileName.toUtf8();
    const AVOutputFormat* fmt = nullptr;
    if (!S.FileFormat.empty()) {
        fmt = ff::av_guess_format(S.FileFormat.c_str(), nullptr, nullptr);
        if (!fmt) {
            lastError = Fmt("Requested output format '%s' is not a suitable output format",
                            S.FileFormat.c_str());
            return -1;
        }
        S.FileFormat.clear();
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
    const int index = int(Outputs.size());
    const size_t codecsBefore = Codecs.size();
    Outputs.emplace_back();
    Outputs.back().Context.reset(oc);
    Extras.emplace_back();
    Extras.back().FileName = fileName;
    Extras.back().MayReplace = !S.NoReplace;
    S.NoReplace = false;
    // Whatever fails below takes the half-built output away again.
    auto fail = [&](const std::string& msg) {
        lastError = msg;
        std::string ignored;
        Extras.back().Close(Outputs.back(), true, ignored);
        Outputs.pop_back();
        Extras.pop_back();
        Codecs.resize(codecsBefore);
        return -1;
    };

    bool useVideo =
        S.VideoStreamCopy || fmt->video_codec != AV_CODEC_ID_NONE || !S.VideoCodecName.empty();
    bool useAudio =
        S.AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !S.AudioCodecName.empty();
    bool useSubtitle = S.SubtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE ||
                       !S.SubtitleCodecName.empty();
    if (!Inputs.empty()) {
        bool v, a, t;
        try {
            ScanInputKinds(join, v, a, t);
        } catch (const std::exception& e) {
            return fail(Fmt("check_audio_video_sub_inputs fail: %s", e.what()));
        }
        useVideo = useVideo && v;
        // A cover picture is no video, but a stream copy asked for keeps it as the output's
        // own attached picture.
        if (S.VideoStreamCopy && !v && fmt->video_codec != AV_CODEC_ID_NONE)
            for (unsigned i = 0; i < Inputs.front().Context->nb_streams; ++i)
                useVideo = useVideo || Inputs.front().Context->streams[i]->disposition &
                                           AV_DISPOSITION_ATTACHED_PIC;
        useAudio = useAudio && a;
        useSubtitle = useSubtitle && t;
    }
    if (S.AudioDisable)
        useAudio = false;
    if (S.SubtitleDisable)
        useSubtitle = false;
    if (S.VideoDisable)
        useVideo = false;

    const char* step = "new_video_stream fail: %s";
    try {
        if (useVideo)
            NewVideoStream(index);
        step = "new_audio_stream fail: %s";
        if (useAudio)
            NewAudioStream(index);
        step = "new_subtitle_stream fail: %s";
        if (useSubtitle)
            NewSubtitleStream(index);
    } catch (const std::exception& e) {
        return fail(Fmt(step, e.what()));
    }
    // Disabling a kind this output did not create was meant for this output all the same.
    S.AudioDisable = S.VideoDisable = S.SubtitleDisable = false;

    MoveMetadata(oc);

    if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(fn.constData()))
        return fail(Narrow(fileName) + ": Number syntax expected in filename");
    if (!(fmt->flags & AVFMT_NOFILE)) {
        std::string err;
        if (!Extras.back().OpenFile(Outputs.back(), err))
            return fail(err);
    }

    oc->max_delay = int(S.MuxMaxDelay * 1000000);
    // The preload and the loop count are options of the muxers that have them (MPEG program
    // streams, GIF); other formats have nothing to preload or loop.
    SetMuxerOption(oc, "preload", int64_t(S.MuxPreload * 1000000));
    SetMuxerOption(oc, "loop", S.LoopOutput);
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    C.CopyTo(C.Format(), oc, AV_OPT_FLAG_ENCODING_PARAM);
    S.StreamIds = {};

    if (join && Inputs.size() > 1) {
        joinMode = true;
        int64_t sum = 0;
        for (const TInputFile& in : Inputs)
            if (in.Context->duration != AV_NOPTS_VALUE)
                sum += in.Context->duration;
        S.TotalDuration = sum ? sum : -1;
    }
    return int(Outputs.size());
}

void TFFOutputOpener::SetMuxerOption(AVFormatContext* oc, const char* name, int64_t value) {
    if (oc->priv_data &&
        ff::av_opt_find(oc->priv_data, name, nullptr, 0, AV_OPT_SEARCH_CHILDREN) != nullptr)
        ff::av_opt_set_int(oc->priv_data, name, value, AV_OPT_SEARCH_CHILDREN);
}

void TFFOutputOpener::MoveMetadata(AVFormatContext* oc) {
    TFFOptionState& s = S;
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

AVStream* TFFOutputOpener::NewStream(int fileIndex, AVMediaType type, const AVCodec* encoder,
                                     uint32_t tag) {
    TFFOptionState& s = S;
    AVFormatContext* oc = Outputs[size_t(fileIndex)].Context.get();
    AVStream* st = ff::avformat_new_stream(oc, nullptr);
    if (!st)
        Raise(std::string("Could not alloc stream"));
    const int index = int(oc->nb_streams) - 1;
    st->id = index < ffopt::MaxStreams ? s.StreamIds[size_t(index)] : 0;
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
    Extras[size_t(fileIndex)].Streams.push_back(std::move(setup));
    Codecs.push_back(encoder);
    // The bitstream filters given for this kind belong to this stream now.
    TBitstreamFilterChain& chain = type == AVMEDIA_TYPE_AUDIO   ? s.AudioBitstreamFilters
                                   : type == AVMEDIA_TYPE_VIDEO ? s.VideoBitstreamFilters
                                                                : s.SubtitleBitstreamFilters;
    if (index < ffopt::MaxStreams)
        Outputs[size_t(fileIndex)].BitstreamFilters[size_t(index)] = std::move(chain);
    chain.clear();
    return st;
}

void TFFOutputOpener::NewAudioStream(int fileIndex) {
    TFFOptionState& s = S;
    const AVCodec* encoder = nullptr;
    const bool copy = s.AudioStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(fileIndex, s.AudioCodecName, AVMEDIA_TYPE_AUDIO);
    AVStream* st = NewStream(fileIndex, AVMEDIA_TYPE_AUDIO, encoder, s.AudioCodecTag);
    TFFOutputStreamSetup& setup = Extras[size_t(fileIndex)].Streams.back();
    AVCodecContext* c = setup.Codec.get();
    setup.Copy = copy;
    c->sample_rate = s.AudioSampleRate;
    AVChannelLayout layout = ChannelLayout(s.AudioChannels, s.AudioChannelLayout);
    ff::av_channel_layout_uninit(&c->ch_layout);
    c->ch_layout = layout;
    if (!copy) {
        C.CopyTo(C.Codec(AVMEDIA_TYPE_AUDIO), c,
                 AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
        if (encoder)
            c->codec_id = encoder->id;
        if (s.AudioQScale > -99999.0) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = int(FF_QP2LAMBDA * s.AudioQScale);
        }
        c->sample_fmt = AVSampleFormat(s.AudioSampleFmt);
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

void TFFOutputOpener::NewVideoStream(int fileIndex) {
    TFFOptionState& s = S;
    const AVCodec* encoder = nullptr;
    const bool copy = s.VideoStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(fileIndex, s.VideoCodecName, AVMEDIA_TYPE_VIDEO);
    AVStream* st = NewStream(fileIndex, AVMEDIA_TYPE_VIDEO, encoder, s.VideoCodecTag);
    TFFOutputStreamSetup& setup = Extras[size_t(fileIndex)].Streams.back();
    AVCodecContext* c = setup.Codec.get();
    setup.Copy = copy;
    if (!copy) {
        C.CopyTo(C.Codec(AVMEDIA_TYPE_VIDEO), c,
                 AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
        if (encoder)
            c->codec_id = encoder->id;
        ApplyVideoEncoderOptions(s, encoder, c);
        st->time_base = c->time_base;
    }
    if (!s.VideoLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", s.VideoLanguage.c_str(), 0);
    s.VideoLanguage.clear();
    s.VideoDisable = false;
    s.VideoCodecName.clear();
    s.VideoStreamCopy = false;
}

void TFFOutputOpener::NewSubtitleStream(int fileIndex) {
    TFFOptionState& s = S;
    const AVCodec* encoder = nullptr;
    const bool copy = s.SubtitleStreamCopy;
    if (!copy)
        encoder = ChooseEncoder(fileIndex, s.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE);
    AVStream* st = NewStream(fileIndex, AVMEDIA_TYPE_SUBTITLE, encoder, s.SubtitleCodecTag);
    TFFOutputStreamSetup& setup = Extras[size_t(fileIndex)].Streams.back();
    setup.Copy = copy;
    if (!copy) {
        C.CopyTo(C.Codec(AVMEDIA_TYPE_SUBTITLE), setup.Codec.get(),
                 AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
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

int TCustomFFmpeg::OpenOutputFile(const QString& fileName, bool join) {
    TFFRunState& run = RunStateOf(FRun);
    try {
        const int count =
            TFFOutputOpener(FOpt, FOptCtx, FInputFiles, FOutputFiles, run.Outputs, FOutputCodecs)
                .Open(fileName, join, FJoinMode, FLastErrorText);
        if (count > 0)
            FNewStreamHandler = [this](AVMediaType type) {
                AVFormatContext* oc = FOutputFiles.back().Context.get();
                const int index = int(FOutputFiles.size()) - 1;
                if (type == AVMEDIA_TYPE_AUDIO)
                    NewAudioStream(oc, index);
                else if (type == AVMEDIA_TYPE_VIDEO)
                    NewVideoStream(oc, index);
                else
                    NewSubtitleStream(oc, index);
            };
        return count;
    } catch (const std::exception& e) {
        FLastErrorText = e.what();
        return -1;
    }
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext*, int fileIndex) {
    TFFOutputOpener(FOpt, FOptCtx, FInputFiles, FOutputFiles, RunStateOf(FRun).Outputs,
                    FOutputCodecs)
        .NewAudioStream(fileIndex);
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext*, int fileIndex) {
    TFFOutputOpener(FOpt, FOptCtx, FInputFiles, FOutputFiles, RunStateOf(FRun).Outputs,
                    FOutputCodecs)
        .NewVideoStream(fileIndex);
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext*, int fileIndex) {
    TFFOutputOpener(FOpt, FOptCtx, FInputFiles, FOutputFiles, RunStateOf(FRun).Outputs,
                    FOutputCodecs)
        .NewSubtitleStream(fileIndex);
}

void TCustomFFmpeg::FreeFiles() {
    TFFRunState& run = RunStateOf(FRun);
    std::string firstError;
    for (size_t i = 0; i < FOutputFiles.size(); ++i) {
        std::string err;
        if (i < run.Outputs.size() &&
            !run.Outputs[i].Close(FOutputFiles[i], run.DiscardOutputs, err) && firstError.empty())
            firstError = err;
        FOutputFiles[i].Context.reset();
    }
    FOutputFiles.clear();
    run.Outputs.clear();
    FOutputCodecs.clear();
    // The probes only look at the input contexts: they forget them before they close.
    for (const std::unique_ptr<TFFDecoder>& probe : FInputProbes)
        if (probe)
            probe->CloseMediaFile();
    FInputFiles.clear();
    FInputCodecs.clear();
    FJoinMode = false;
    // Everything is closed first: an output that could not be put in place fails the run.
    if (!firstError.empty())
        throw std::runtime_error(firstError);
}
