#include "media/encode/prepare/FFPrepare.h"

#include "media/FFLoad.h"
#include "media/encode/video/FFVideoPath.h"

#include <cstring>
#include <mutex>

using namespace ffstage;

namespace {

bool IsCoverPicture(const AVStream* st) {
    return st->disposition & AV_DISPOSITION_ATTACHED_PIC;
}

} // namespace

TFFInputStream::~TFFInputStream() {
    ff::av_channel_layout_uninit(&BlockLayout);
}

void TFFPrepare::Run() {
    BuildInputTable();
    BuildOutputTable();
    ChooseSources();
    for (TFFOutputStream& ost : T.Outputs) {
        const TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
        ff::av_dict_copy(&ost.Stream->metadata, ist.Stream->metadata, AV_DICT_DONT_OVERWRITE);
        ost.Stream->disposition = ist.Stream->disposition;
        ost.Copy = OutX[size_t(ost.FileIndex)].Streams[size_t(ost.Index)].Copy;
        if (ost.Copy)
            SetUpCopy(ost);
        else
            SetUpEncoding(ost);
    }
    OpenEncoders(false);
    OpenDecoders();
    OpenEncoders(true);
    for (TFFInputStream& ist : T.Inputs) {
        ist.Pts = 0;
        const AVRational fps = ist.Stream->avg_frame_rate;
        if (ist.Decoder && fps.num && fps.den)
            ist.Pts = -int64_t(double(ist.Decoder->has_b_frames) * 1000000 / av_q2d(fps) + 0.5);
        ist.NextPts = AV_NOPTS_VALUE;
        ist.IsStart = true;
    }
    CopyMetadataMaps();
    CopyChapters();
    WriteHeaders();
    LogStreamMapping();
}

void TFFPrepare::BuildInputTable() {
    T.Inputs.clear();
    T.FirstOfInput.clear();
    const int64_t now = ff::av_gettime_relative();
    for (size_t f = 0; f < In.size(); ++f) {
        T.FirstOfInput.push_back(int(T.Inputs.size()));
        AVFormatContext* ic = In[f].Context.get();
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            TFFInputStream ist;
            ist.FileIndex = int(f);
            ist.StreamIndex = int(i);
            ist.Stream = ic->streams[i];
            ist.WallStart = now;
            T.Inputs.push_back(std::move(ist));
        }
    }
}

void TFFPrepare::BuildOutputTable() {
    T.Outputs.clear();
    size_t total = 0;
    for (size_t f = 0; f < Out.size(); ++f) {
        AVFormatContext* oc = Out[f].Context.get();
        if (!oc->nb_streams) {
            ff::av_dump_format(oc, int(f), oc->url, 1);
            Raise(Fmt("Output file #%d does not contain any stream", int(f)));
        }
        total += oc->nb_streams;
    }
    if (!S.StreamMaps.empty()) {
        if (S.StreamMaps.size() != total)
            Raise(std::string("Number of stream maps must match number of output streams"));
        for (const TStreamMap& m : S.StreamMaps) {
            if (m.FileIndex < 0 || size_t(m.FileIndex) >= In.size() || m.StreamIndex < 0 ||
                unsigned(m.StreamIndex) >= In[size_t(m.FileIndex)].Context->nb_streams)
                Raise(Fmt("Could not find input stream #%d.%d", m.FileIndex, m.StreamIndex));
            if (m.SyncFileIndex < 0 || size_t(m.SyncFileIndex) >= In.size() ||
                m.SyncStreamIndex < 0 ||
                unsigned(m.SyncStreamIndex) >= In[size_t(m.SyncFileIndex)].Context->nb_streams)
                Raise(Fmt("Could not find sync stream #%d.%d", m.SyncFileIndex, m.SyncStreamIndex));
        }
    }
    for (size_t f = 0; f < Out.size(); ++f) {
        AVFormatContext* oc = Out[f].Context.get();
        for (unsigned i = 0; i < oc->nb_streams; ++i) {
            TFFOutputStream ost;
            ost.FileIndex = int(f);
            ost.Index = int(i);
            ost.Stream = oc->streams[i];
            ost.Encoder = OutX[f].Streams[i].Codec.get();
            T.Outputs.push_back(std::move(ost));
        }
    }
}

int TFFPrepare::FindSource(const TFFOutputStream& ost) const {
    const AVMediaType type = ost.Stream->codecpar->codec_type != AVMEDIA_TYPE_UNKNOWN
                                 ? ost.Stream->codecpar->codec_type
                                 : ost.Encoder->codec_type;
    auto eligible = [&](const TFFInputStream& ist) {
        // A cover picture only feeds an output through an explicit map.
        return ist.Stream->codecpar->codec_type == type && ist.Stream->discard != AVDISCARD_ALL &&
               !IsCoverPicture(ist.Stream);
    };
    for (size_t i = 0; i < T.Inputs.size(); ++i)
        if (T.Inputs[i].Discard && eligible(T.Inputs[i]))
            return int(i);
    for (size_t i = T.Inputs.size(); i-- > 0;)
        if (eligible(T.Inputs[i]))
            return int(i);
    return -1;
}

void TFFPrepare::ChooseSources() {
    for (size_t k = 0; k < T.Outputs.size(); ++k) {
        TFFOutputStream& ost = T.Outputs[k];
        const AVMediaType type = ost.Encoder->codec_type;
        if (!S.StreamMaps.empty()) {
            const TStreamMap& m = S.StreamMaps[k];
            ost.Source = T.FirstOfInput[size_t(m.FileIndex)] + m.StreamIndex;
            ost.Sync = T.FirstOfInput[size_t(m.SyncFileIndex)] + m.SyncStreamIndex;
            const AVMediaType st = T.Inputs[size_t(ost.Source)].Stream->codecpar->codec_type;
            if (st != type) {
                AVFormatContext* oc = Out[size_t(ost.FileIndex)].Context.get();
                ff::av_dump_format(oc, ost.FileIndex, oc->url, 1);
                Raise(Fmt("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.FileIndex,
                          m.StreamIndex, MediaTypeText(st), ost.FileIndex, ost.Index,
                          MediaTypeText(type)));
            }
        } else if (Join) {
            // One source per input; the loop switches to the next when an input ends.
            for (size_t f = 0; f < In.size(); ++f) {
                int found = -1;
                const int first = T.FirstOfInput[f];
                const int count = int(In[f].Context->nb_streams);
                for (int i = first; i < first + count && found < 0; ++i) {
                    const AVStream* st = T.Inputs[size_t(i)].Stream;
                    if (st->codecpar->codec_type == type && st->discard != AVDISCARD_ALL &&
                        !IsCoverPicture(st) && T.Inputs[size_t(i)].Discard)
                        found = i;
                }
                if (found < 0) {
                    AVFormatContext* oc = Out[size_t(ost.FileIndex)].Context.get();
                    ff::av_dump_format(oc, ost.FileIndex, oc->url, 1);
                    Raise(Fmt("Could not find input stream matching output stream #%d.%d (%s)",
                              ost.FileIndex, ost.Index, MediaTypeText(type)));
                }
                ost.JoinSources.push_back(found);
                T.Inputs[size_t(found)].Discard = false;
            }
            ost.Source = ost.Sync = ost.JoinSources.front();
        } else {
            ost.Source = FindSource(ost);
            if (ost.Source < 0) {
                AVFormatContext* oc = Out[size_t(ost.FileIndex)].Context.get();
                ff::av_dump_format(oc, ost.FileIndex, oc->url, 1);
                Raise(Fmt("Could not find input stream matching output stream #%d.%d (%s)",
                          ost.FileIndex, ost.Index, MediaTypeText(type)));
            }
            ost.Sync = ost.Source;
        }
        T.Inputs[size_t(ost.Source)].Discard = false;
    }
}

void TFFPrepare::SetUpCopy(TFFOutputStream& ost) {
    TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
    const AVCodecParameters* ip = ist.Stream->codecpar;
    AVCodecParameters* op = ost.Stream->codecpar;
    const AVOutputFormat* fmt = Out[size_t(ost.FileIndex)].Context.get()->oformat;
    if (ip->extradata_size > 2147483639)
        Raise(std::string("icodec.extradata_size is invalid (too large)"));
    if (ip->codec_type == AVMEDIA_TYPE_AUDIO) {
        // Frames are never decoded on this path, so nothing could apply these.
        if (S.AudioVolume != 256)
            Raise(std::string("-acodec copy and -vol are incompatible (frames are not decoded)"));
        if (AudioHook)
            Raise(std::string(
                "-acodec copy and AudioHook are incompatible (frames are not decoded)"));
    } else if (ip->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (Video.HookAssigned)
            Raise(std::string(
                "-vcodec copy and VideoHook are incompatible (frames are not decoded)"));
        if (Video.FrameHooks)
            Raise(std::string("-vcodec copy and -vhook are incompatible (frames are not decoded)"));
        if (Video.Preview)
            Raise(std::string(
                "-vcodec copy and PostHooks are incompatible (frames are not decoded)"));
    } else if (ip->codec_type != AVMEDIA_TYPE_SUBTITLE) {
        Raise(std::string("invalid codec_type of output stream"));
    }
    const uint32_t ownTag = ost.Encoder->codec_tag;
    if (ff::avcodec_parameters_copy(op, ip) < 0)
        Raise(std::string("av_mallocz fail"));
    uint32_t tag = ownTag;
    if (!tag) {
        if (!fmt->codec_tag || ff::av_codec_get_id(fmt->codec_tag, ip->codec_tag) == ip->codec_id ||
            !ff::av_codec_get_tag(fmt->codec_tag, ip->codec_id))
            tag = ip->codec_tag;
    }
    op->codec_tag = tag;
    if (ip->codec_type == AVMEDIA_TYPE_AUDIO &&
        ((ip->codec_id == AV_CODEC_ID_MP3 && ip->block_align == 1) ||
         ip->codec_id == AV_CODEC_ID_AC3))
        op->block_align = 0;
    ost.Stream->time_base = ist.Stream->time_base;
}

void TFFPrepare::SetUpEncoding(TFFOutputStream& ost) {
    TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
    AVCodecContext* e = ost.Encoder;
    switch (e->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        ost.Fifo.reset(ff::av_audio_fifo_alloc(e->sample_fmt, e->ch_layout.nb_channels, 1024));
        if (!ost.Fifo)
            Raise(std::string("av_fifo_alloc fail"));
        ost.AudioResample =
            e->sample_rate != ist.Stream->codecpar->sample_rate || S.AudioSyncMethod > 1;
        ist.DecodingNeeded = true;
        ost.EncodingNeeded = true;
        for (int j : ost.JoinSources)
            T.Inputs[size_t(j)].DecodingNeeded = true;
        break;
    case AVMEDIA_TYPE_VIDEO:
        if (!Video.Path)
            Raise(std::string("invalid codec_type of output stream"));
        Video.Path->SetUp(ost, ist);
        [[fallthrough]];
    case AVMEDIA_TYPE_SUBTITLE:
        ist.DecodingNeeded = true;
        ost.EncodingNeeded = true;
        for (int j : ost.JoinSources)
            T.Inputs[size_t(j)].DecodingNeeded = true;
        break;
    default:
        Raise(std::string("invalid codec_type of output stream"));
    }
}

void TFFPrepare::OpenEncoders(bool subtitles) {
    for (TFFOutputStream& ost : T.Outputs) {
        if (!ost.EncodingNeeded || (ost.Encoder->codec_type == AVMEDIA_TYPE_SUBTITLE) != subtitles)
            continue;
        if (subtitles) {
            // Text subtitle encoders describe their styles with the decoder's header.
            const TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
            if (ist.Decoder && ist.Decoder->subtitle_header && !ost.Encoder->subtitle_header) {
                ost.Encoder->subtitle_header =
                    static_cast<uint8_t*>(ff::av_mallocz(size_t(ist.Decoder->subtitle_header_size) + 1));
                if (!ost.Encoder->subtitle_header)
                    Raise(std::string("av_mallocz fail"));
                std::memcpy(ost.Encoder->subtitle_header, ist.Decoder->subtitle_header,
                            size_t(ist.Decoder->subtitle_header_size));
                ost.Encoder->subtitle_header_size = ist.Decoder->subtitle_header_size;
            }
            if (!ost.Encoder->time_base.num)
                ost.Encoder->time_base = AVRational{1, 1000000};
        }
        TFFOutputStreamSetup& setup = OutX[size_t(ost.FileIndex)].Streams[size_t(ost.Index)];
        const AVCodec* codec =
            setup.Encoder ? setup.Encoder : ff::avcodec_find_encoder(ost.Encoder->codec_id);
        const char* type = MediaTypeText(ost.Encoder->codec_type);
        if (!codec)
            FailWithMapping(Fmt("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                int(ost.Encoder->codec_id), ost.FileIndex, ost.Index, type));
        int err;
        {
            const auto codecs = LockCodecs();
            AVDictionaryPtr opts = C.CodecPrivateOptions(ost.Encoder->codec_type);
            err = ff::avcodec_open2(ost.Encoder, codec, InOut(opts));
            ost.EncoderOpen = err >= 0;
        }
        if (err < 0)
            FailWithMapping(
                Fmt("Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
                    "parameters such as bit_rate, rate, width or height. Please check error log "
                    "message to find out more detail information.",
                    ost.FileIndex, ost.Index, type));
        ff::avcodec_parameters_from_context(ost.Stream->codecpar, ost.Encoder);
        ost.Stream->time_base = ost.Encoder->time_base;
        T.HeaderBytes += ost.Encoder->extradata_size;
        ost.EncFrame = NewFrame();
        ost.EncPacket = NewPacket();
        if (Video.Path && ost.Video)
            Video.Path->EncoderOpened(ost);
    }
}

void TFFPrepare::OpenDecoders() {
    for (TFFInputStream& ist : T.Inputs) {
        if (!ist.DecodingNeeded)
            continue;
        const AVCodecParameters* par = ist.Stream->codecpar;
        const size_t flat = size_t(&ist - T.Inputs.data());
        const AVCodec* forced = flat < InputCodecs.size() ? InputCodecs[flat] : nullptr;
        const AVCodec* codec = forced ? forced : ff::avcodec_find_decoder(par->codec_id);
        const char* type = MediaTypeText(par->codec_type);
        if (!codec)
            FailWithMapping(Fmt("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                int(par->codec_id), ist.FileIndex, ist.StreamIndex, type));
        ist.Decoder.reset(ff::avcodec_alloc_context3(codec));
        if (!ist.Decoder || ff::avcodec_parameters_to_context(ist.Decoder.get(), par) < 0)
            FailWithMapping(Fmt("Error while opening decoder for input stream #%d.%d (%s)",
                                ist.FileIndex, ist.StreamIndex, type));
        // Decoding options given by name ("lowres", "skip_frame" ...) reach the decoders of their
        // kind.
        const int kind = par->codec_type == AVMEDIA_TYPE_VIDEO   ? AV_OPT_FLAG_VIDEO_PARAM
                         : par->codec_type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                                                                 : AV_OPT_FLAG_SUBTITLE_PARAM;
        C.CopyTo(C.Codec(par->codec_type), ist.Decoder.get(), AV_OPT_FLAG_DECODING_PARAM | kind);
        ist.Decoder->pkt_timebase = ist.Stream->time_base;
        ist.Decoder->thread_count = S.ThreadCount;
        int err;
        {
            const auto codecs = LockCodecs();
            err = ff::avcodec_open2(ist.Decoder.get(), codec, nullptr);
        }
        if (err < 0) {
            const auto codecs = LockCodecs();
            ist.Decoder.reset();
        }
        if (err < 0)
            FailWithMapping(Fmt("Error while opening decoder for input stream #%d.%d (%s)",
                                ist.FileIndex, ist.StreamIndex, type));
        ist.Frame = NewFrame();
    }
}

void TFFPrepare::CopyMetadataMaps() {
    for (const TMetaDataMap& m : S.MetaDataMaps) {
        if (m.OutFile < 0 || size_t(m.OutFile) >= Out.size())
            FailWithMapping(Fmt("Invalid output file index %d map_meta_data(%d,%d)", m.OutFile,
                                m.OutFile, m.InFile));
        if (m.InFile < 0 || size_t(m.InFile) >= In.size())
            FailWithMapping(Fmt("Invalid input file index %d map_meta_data(%d,%d)", m.InFile,
                                m.OutFile, m.InFile));
        ff::av_dict_copy(&Out[size_t(m.OutFile)].Context.get()->metadata,
                         In[size_t(m.InFile)].Context->metadata, AV_DICT_DONT_OVERWRITE);
    }
}

void TFFPrepare::CopyChapters() {
    for (const TInputFile& in : In) {
        AVFormatContext* ic = in.Context.get();
        for (const TOutputFile& out : Out) {
            AVFormatContext* oc = out.Context.get();
            for (unsigned i = 0; i < ic->nb_chapters; ++i) {
                const AVChapter* c = ic->chapters[i];
                const int64_t offset = ff::av_rescale_q(S.StartTime - in.TsOffset,
                                                        AVRational{1, 1000000}, c->time_base);
                const int64_t rec =
                    S.RecordingTime == ffopt::NoTimeLimit
                        ? INT64_MAX
                        : ff::av_rescale_q(S.RecordingTime, AVRational{1, 1000000}, c->time_base);
                if (c->end < offset)
                    continue;
                if (rec != INT64_MAX && c->start > rec + offset)
                    break;
                auto* nc = static_cast<AVChapter*>(ff::av_mallocz(sizeof(AVChapter)));
                if (!nc)
                    Raise(std::string("av_mallocz fail"));
                nc->id = c->id;
                nc->time_base = c->time_base;
                nc->start = std::max<int64_t>(0, c->start - offset);
                nc->end = std::min(rec, c->end - offset);
                ff::av_dict_copy(&nc->metadata, c->metadata, 0);
                auto* grown = static_cast<AVChapter**>(
                    ff::av_realloc(oc->chapters, sizeof(AVChapter*) * (oc->nb_chapters + 1)));
                if (!grown) {
                    ff::av_dict_free(&nc->metadata);
                    ff::av_free(nc);
                    Raise(std::string("av_realloc fail"));
                }
                oc->chapters = grown;
                oc->chapters[oc->nb_chapters++] = nc;
            }
        }
    }
}

void TFFPrepare::WriteHeaders() {
    for (size_t f = 0; f < Out.size(); ++f) {
        AVDictionaryPtr opts = C.FormatPrivateOptions();
        if (ff::avformat_write_header(Out[f].Context.get(), InOut(opts)) < 0)
            FailWithMapping(
                Fmt("Could not write header for output file #%d (incorrect codec parameters ?)",
                    int(f)));
    }
}

void TFFPrepare::LogStreamMapping() const {
    for (size_t f = 0; f < Out.size(); ++f)
        ff::av_dump_format(Out[f].Context.get(), int(f), Out[f].Context.get()->url, 1);
    if (S.Verbose < 0)
        return;
    Log(TStageLog::Verbose, QStringLiteral("Stream mapping:"));
    for (const TFFOutputStream& ost : T.Outputs) {
        if (ost.Source < 0)
            continue;
        const TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
        Log(TStageLog::Verbose,
            QString::fromLocal8Bit(Fmt("  Stream #%d.%d -> #%d.%d (%s)", ist.FileIndex,
                                       ist.StreamIndex, ost.FileIndex, ost.Index,
                                       MediaTypeText(ost.Encoder->codec_type))
                                       .c_str()));
        if (ost.Sync >= 0 && ost.Sync != ost.Source) {
            const TFFInputStream& sync = T.Inputs[size_t(ost.Sync)];
            Log(TStageLog::Verbose,
                QString::fromLocal8Bit(Fmt(" [sync #%d.%d (%s)]", sync.FileIndex, sync.StreamIndex,
                                           MediaTypeText(sync.Stream->codecpar->codec_type))
                                           .c_str()));
        }
    }
}

void TFFPrepare::FailWithMapping(const std::string& msg) const {
    LogStreamMapping();
    Log(TStageLog::Error, QString::fromLocal8Bit(msg.c_str()));
    Raise(msg);
}

void TFFPrepare::CloseCodecs(std::vector<TFFOutputExtra>& extras, TFFStreamTables& t) {
    const auto codecs = LockCodecs();
    for (TFFOutputStream& ost : t.Outputs) {
        if (ost.Encoder && ost.FileIndex < int(extras.size())) {
            auto& streams = extras[size_t(ost.FileIndex)].Streams;
            if (size_t(ost.Index) < streams.size())
                streams[size_t(ost.Index)].Codec.reset();
        }
        ost.Encoder = nullptr;
        ost.EncoderOpen = false;
    }
    for (TFFInputStream& ist : t.Inputs)
        ist.Decoder.reset();
}
