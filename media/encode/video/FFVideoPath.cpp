#include "media/encode/video/FFVideoPath.h"

#include "media/encode/loop/FFLoopSupport.h"
#include "media/encode/video/FFVideoSync.h"

#include <algorithm>

using namespace ffstage;

namespace {
constexpr AVRational MicroBase{1, 1000000};

QString SizeChangeLine(const TFFInputStream& ist, const AVFrame* picture) {
    const char* name = ff::av_get_pix_fmt_name(AVPixelFormat(picture->format));
    return QString::fromLocal8Bit(Fmt("Input Stream #%d.%d frame size changed to %dx%d, %s",
                                      ist.FileIndex, ist.StreamIndex, picture->width,
                                      picture->height, name ? name : "none")
                                      .c_str());
}

// An amount scaled with the picture, kept even so that chroma planes stay aligned.
int Proportional(int amount, int now, int before) {
    if (before <= 0 || amount <= 0)
        return 0;
    return int(int64_t(amount) * now / before) & ~1;
}

} // namespace

TFFVideoPath::TFFVideoPath(const TFFOptionState& s, const TFFOptionContexts& c,
                           std::vector<TOutputFile>& outputs, std::vector<TFFOutputExtra>& extras,
                           TFFStreamTables& t, const TFFVideoCallbacks& callbacks,
                           TFFPreviewControl& preview, TFrameHookList& frameHooks,
                           const std::atomic<bool>& stop, TWrite write)
    : S(s), C(c), Out(outputs), OutX(extras), T(t), PreviewControl(preview), FrameHooks(frameHooks),
      StopFlag(stop), Write(std::move(write)),
      Preview(preview, callbacks.PreviewBitmap, callbacks.PreviewWindow) {
    InputHook.Assign(callbacks.InputHook, preview.BitDepth());
    OutputHook.Assign(callbacks.OutputHook, preview.BitDepth());
}

int TFFVideoPath::SwsFlags() const {
    int64_t flags = S.SwsFlags;
    if (C.Scaler())
        ff::av_opt_get_int(C.Scaler(), "sws_flags", 0, &flags);
    return int(flags);
}

void TFFVideoPath::SetUp(TFFOutputStream& ost, const TFFInputStream& ist) {
    const AVCodecParameters* ip = ist.Stream->codecpar;
    AVCodecContext* e = ost.Encoder;
    if (ip->format == AV_PIX_FMT_NONE)
        Raise(std::string("Video pixel format is unknown, stream cannot be encoded"));
    ost.Video = std::make_shared<TFFVideoOutput>();
    TFFVideoOutput& v = *ost.Video;
    v.CropTop = S.CropTop;
    v.CropBottom = S.CropBottom;
    v.CropLeft = S.CropLeft;
    v.CropRight = S.CropRight;
    const int cw = ip->width - v.CropLeft - v.CropRight;
    const int ch = ip->height - v.CropTop - v.CropBottom;
    // An output created before any input was opened has no size of its own yet.
    if (e->width <= 0 || e->height <= 0) {
        e->width = cw;
        e->height = ch;
    }
    v.Resample = cw != e->width || ch != e->height || ip->format != e->pix_fmt;
    v.InWidth = ip->width;
    v.InHeight = ip->height;
    v.InFormat = ip->format;
    const AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                               : ip->sample_aspect_ratio;
    if (!S.VideoFilters.empty() || S.DoDeinterlace)
        BuildGraph(ost, ip->width, ip->height, ip->format, sar);
    else if (v.Resample)
        MakeScaler(ost, ip->width, ip->height, ip->format);

    if (e->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
        const std::string prefix = S.PassLogFileName.empty() ? "ffmpeg2pass" : S.PassLogFileName;
        const int index = int(&ost - T.Outputs.data());
        const std::string name = Fmt("%s-%d.log", prefix.c_str(), index);
        auto file = std::make_unique<QFile>(QString::fromLocal8Bit(name.c_str()));
        if (e->flags & AV_CODEC_FLAG_PASS1) {
            if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
                Raise(Fmt("Cannot write log file %s for pass-1 encoding", name.c_str()));
            v.PassLog = std::move(file);
        } else {
            if (!file->open(QIODevice::ReadOnly))
                Raise(Fmt("Cannot read file: Error reading log file \"%s\" for pass-2 encoding",
                          name.c_str()));
            try {
                v.PassStats = file->readAll().toStdString();
            } catch (const std::bad_alloc&) {
                Raise(Fmt("Could not allocate file buffer: Error reading log file \"%s\" for "
                          "pass-2 encoding",
                          name.c_str()));
            }
            // The encoder reads it while it is open; the stream state outlives the encoder.
            e->stats_in = v.PassStats.data();
        }
    }
}

void TFFVideoPath::EncoderOpened(TFFOutputStream& ost) {
    if (ost.Video && ost.Video->PassLog && ost.Encoder->stats_out)
        ost.Video->PassLog->write(ost.Encoder->stats_out);
}

void TFFVideoPath::MakeScaler(TFFOutputStream& ost, int w, int h, int format) {
    TFFVideoOutput& v = *ost.Video;
    AVCodecContext* e = ost.Encoder;
    const int cw = w - v.CropLeft - v.CropRight;
    const int ch = h - v.CropTop - v.CropBottom;
    if (!v.Scaled || v.Scaled->width != e->width || v.Scaled->height != e->height) {
        v.Scaled = MakeFrame();
        if (!v.Scaled)
            Raise(std::string("Cannot allocate temp picture, check pix fmt"));
        v.Scaled->width = e->width;
        v.Scaled->height = e->height;
        v.Scaled->format = e->pix_fmt;
        if (ff::av_frame_get_buffer(v.Scaled.get(), 0) < 0)
            Raise(std::string("Cannot allocate temp picture, check pix fmt"));
    }
    v.Scaler.reset(ff::sws_getContext(cw, ch, AVPixelFormat(format), e->width, e->height,
                                      e->pix_fmt, SwsFlags(), nullptr, nullptr, nullptr));
    if (!v.Scaler)
        Raise(std::string("Cannot get resampling context"));
}

void TFFVideoPath::BuildGraph(TFFOutputStream& ost, int w, int h, int format, AVRational sar) {
    TFFVideoOutput& v = *ost.Video;
    AVCodecContext* e = ost.Encoder;
    TFFFilterGraphSetup setup;
    setup.Width = w;
    setup.Height = h;
    setup.PixelFormat = format;
    setup.SampleAspect = sar;
    setup.CropTop = v.CropTop;
    setup.CropBottom = v.CropBottom;
    setup.CropLeft = v.CropLeft;
    setup.CropRight = v.CropRight;
    setup.OutWidth = e->width;
    setup.OutHeight = e->height;
    setup.SwsFlags = SwsFlags();
    setup.Deinterlace = S.DoDeinterlace;
    setup.UserChain = S.VideoFilters;
    setup.OutPixelFormat = e->pix_fmt;
    if (!v.Graph)
        v.Graph = std::make_unique<TFFVideoFilterGraph>();
    v.Graph->Build(setup);
    if (!v.Filtered)
        v.Filtered = NewFrame();
}

void TFFVideoPath::Picture(int istIndex, AVFrame* picture, int64_t pts) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    if (InputFrames.size() < T.Inputs.size())
        InputFrames.resize(T.Inputs.size(), 0);
    ++InputFrames[size_t(istIndex)];
    PreProcess(ist, picture, pts);
    for (TFFOutputStream& ost : T.Outputs)
        if (ost.Source == istIndex && ost.EncodingNeeded && ost.Video)
            Output(ost, ist, picture, pts);
}

void TFFVideoPath::PreProcess(TFFInputStream& ist, AVFrame* picture, int64_t pts) {
    if (!InputHook.Assigned() && FrameHooks.Empty())
        return;
    // The decoder may still hold the picture's buffers; the hooks write into a copy.
    if (ff::av_frame_make_writable(picture) < 0) {
        Log(TStageLog::Error, QStringLiteral("hook buf malloc error."));
        return;
    }
    const size_t index = size_t(&ist - T.Inputs.data());
    if (InputHook.Assigned()) {
        InputHook.Run(picture, pts, int(InputFrames[index]));
    } else {
        SnipHookPicture hp{};
        for (int i = 0; i < SNIP_FRAMEHOOK_PLANES; ++i) {
            hp.data[i] = picture->data[i];
            hp.linesize[i] = picture->linesize[i];
        }
        FrameHooks.Run(hp, picture->format, picture->width, picture->height, pts);
    }
}

void TFFVideoPath::CheckSizeChange(TFFOutputStream& ost, const TFFInputStream& ist,
                                   const AVFrame* picture) {
    TFFVideoOutput& v = *ost.Video;
    if (picture->width == v.InWidth && picture->height == v.InHeight &&
        picture->format == v.InFormat)
        return;
    Log(TStageLog::Quiet, SizeChangeLine(ist, picture));
    v.CropTop = Proportional(v.CropTop, picture->height, v.InHeight);
    v.CropBottom = Proportional(v.CropBottom, picture->height, v.InHeight);
    v.CropLeft = Proportional(v.CropLeft, picture->width, v.InWidth);
    v.CropRight = Proportional(v.CropRight, picture->width, v.InWidth);
    v.InWidth = picture->width;
    v.InHeight = picture->height;
    v.InFormat = picture->format;
    if (v.Graph) {
        BuildGraph(ost, picture->width, picture->height, picture->format,
                   picture->sample_aspect_ratio);
        return;
    }
    const AVCodecContext* e = ost.Encoder;
    v.Resample = picture->width - v.CropLeft - v.CropRight != e->width ||
                 picture->height - v.CropTop - v.CropBottom != e->height ||
                 picture->format != e->pix_fmt;
    if (v.Resample)
        MakeScaler(ost, picture->width, picture->height, picture->format);
}

void TFFVideoPath::Output(TFFOutputStream& ost, const TFFInputStream& ist, AVFrame* picture,
                          int64_t pts) {
    TFFVideoOutput& v = *ost.Video;
    CheckSizeChange(ost, ist, picture);
    if (v.Graph) {
        picture->pts = pts;
        v.Graph->Push(picture);
        while (v.Graph->Pull(v.Filtered.get())) {
            const int64_t out = v.Filtered->pts != AV_NOPTS_VALUE ? v.Filtered->pts : pts;
            Encode(ost, v.Filtered.get(), Sync(ost, out));
            ff::av_frame_unref(v.Filtered.get());
        }
        return;
    }
    const int count = Sync(ost, pts);
    if (count <= 0)
        return;
    const AVFrame* src = picture;
    if (v.CropTop || v.CropBottom || v.CropLeft || v.CropRight) {
        if (!Cropped)
            Cropped = NewFrame();
        try {
            Crop(v, picture, Cropped.get());
        } catch (const std::exception&) {
            if (S.ExitOnError)
                Raise(std::string("error cropping picture"));
            Log(TStageLog::Error, QStringLiteral("error cropping picture"));
            return;
        }
        src = Cropped.get();
    }
    if (v.Resample) {
        // The encoder may still hold the last scaled picture (reordering, lookahead).
        if (ff::av_frame_make_writable(v.Scaled.get()) < 0)
            Raise(std::string("Cannot allocate temp picture, check pix fmt"));
        ff::sws_scale(v.Scaler.get(), src->data, src->linesize, 0, src->height, v.Scaled->data,
                      v.Scaled->linesize);
        src = v.Scaled.get();
    }
    Encode(ost, src, count);
    if (Cropped)
        ff::av_frame_unref(Cropped.get());
}

void TFFVideoPath::Crop(TFFVideoOutput& v, const AVFrame* in, AVFrame* out) const {
    const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(AVPixelFormat(in->format));
    if (!desc ||
        (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)))
        throw std::runtime_error("crop");
    const bool planarChroma = !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
    // Packed pixels cannot start inside a chroma pair.
    if (!(desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
        ((v.CropLeft & ((1 << desc->log2_chroma_w) - 1)) ||
         (v.CropTop & ((1 << desc->log2_chroma_h) - 1))))
        throw std::runtime_error("crop");
    ff::av_frame_unref(out);
    if (ff::av_frame_ref(out, in) < 0)
        throw std::runtime_error("crop");
    int step[4] = {0, 0, 0, 0};
    for (int c = 0; c < desc->nb_components; ++c)
        step[desc->comp[c].plane] = std::max(step[desc->comp[c].plane], desc->comp[c].step);
    for (int p = 0; p < 4 && out->data[p]; ++p) {
        const bool chroma = planarChroma && (p == 1 || p == 2);
        const int x = chroma ? v.CropLeft >> desc->log2_chroma_w : v.CropLeft;
        const int y = chroma ? v.CropTop >> desc->log2_chroma_h : v.CropTop;
        out->data[p] += ptrdiff_t(y) * out->linesize[p] + ptrdiff_t(x) * step[p];
    }
    out->width = in->width - v.CropLeft - v.CropRight;
    out->height = in->height - v.CropTop - v.CropBottom;
}

int TFFVideoPath::Sync(TFFOutputStream& ost, int64_t pts) {
    TFFVideoOutput& v = *ost.Video;
    const AVCodecContext* e = ost.Encoder;
    const double tb = av_q2d(e->time_base);
    const double ipts = tb > 0 ? double(pts - S.StartTime) / 1000000.0 / tb : 0.0;
    const bool variable = Out[size_t(ost.FileIndex)].Context->oformat->flags & AVFMT_VARIABLE_FPS;
    const TVideoSyncResult r = VideoSync(S.VideoSyncMethod, variable, ipts, v.SyncPos);
    if (r.Drop) {
        ++T.DropFrames;
        if (S.Verbose > 2)
            Log(TStageLog::Verbose, QStringLiteral("*** drop!"));
    } else if (r.Dups) {
        T.DupFrames += r.Dups;
        if (S.Verbose > 2)
            Log(TStageLog::Verbose, QString::asprintf("*** %d dup!", r.Dups));
    }
    return int(std::min<int64_t>(r.Frames, int64_t(S.MaxVideoFrames) - v.FramesSent));
}

void TFFVideoPath::Encode(TFFOutputStream& ost, const AVFrame* picture, int count) {
    TFFVideoOutput& v = *ost.Video;
    AVCodecContext* e = ost.Encoder;
    if (!Work)
        Work = NewFrame();
    for (int i = 0; i < count && !StopFlag.load(std::memory_order_relaxed); ++i) {
        ff::av_frame_unref(Work.get());
        if (ff::av_frame_ref(Work.get(), picture) < 0)
            Raise(std::string("Video encoding failed"));
        const int64_t outPts = ff::av_rescale_q(v.SyncPos, e->time_base, MicroBase);
        const int frameNumber = int(v.FramesSent) + 1;
        bool hooked = false;
        if (OutputHook.Assigned()) {
            // The hook draws on a copy: the same picture may be written again (duplicates) or
            // still be referenced by the encoder.
            if (ff::av_frame_make_writable(Work.get()) < 0)
                Log(TStageLog::Error, QStringLiteral("hook buf malloc error."));
            else
                hooked = OutputHook.Run(Work.get(), outPts, frameNumber);
        }
        Work->pts = v.SyncPos;
        Work->pict_type = AV_PICTURE_TYPE_NONE;
        Work->sample_aspect_ratio = e->sample_aspect_ratio;
        if (S.FrameTopFieldFirst >= 0) {
            Work->interlaced_frame = 1;
            Work->top_field_first = S.FrameTopFieldFirst;
        }
        Work->quality = e->global_quality;
        Preview.Show(Work.get(), outPts, frameNumber,
                     hooked && OutputHook.Depth() == PreviewControl.BitDepth()
                         ? &OutputHook.Bitmap()
                         : nullptr);
        SendToEncoder(ost, Work.get());
        ++v.SyncPos;
        ++v.FramesSent;
    }
    ff::av_frame_unref(Work.get());
}

void TFFVideoPath::SendToEncoder(TFFOutputStream& ost, const AVFrame* frame) {
    AVCodecContext* e = ost.Encoder;
    if (!e || !ost.EncoderOpen)
        return;
    int err = ff::avcodec_send_frame(e, frame);
    if (err < 0 && err != AVERROR_EOF)
        Raise(std::string("Video encoding failed"));
    AVPacket* pkt = ost.EncPacket.get();
    for (;;) {
        err = ff::avcodec_receive_packet(e, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            break;
        if (err < 0)
            Raise(std::string("Video encoding failed"));
        // One frame of the encoder's clock; muxers that write durations (MP4) would otherwise
        // end the track at the last frame's start.
        if (pkt->duration <= 0)
            pkt->duration = 1;
        ff::av_packet_rescale_ts(pkt, e->time_base, ost.Stream->time_base);
        pkt->stream_index = ost.Stream->index;
        T.VideoBytes += pkt->size;
        if (ost.Video && ost.Video->PassLog && e->stats_out)
            ost.Video->PassLog->write(e->stats_out);
        Write(ost, pkt);
        ff::av_packet_unref(pkt);
    }
}

void TFFVideoPath::Flush(TFFOutputStream& ost) {
    if (!ost.Video || !ost.EncoderOpen)
        return;
    TFFVideoOutput& v = *ost.Video;
    if (v.Graph) {
        v.Graph->Push(nullptr);
        while (v.Graph->Pull(v.Filtered.get())) {
            if (v.Filtered->pts != AV_NOPTS_VALUE)
                Encode(ost, v.Filtered.get(), Sync(ost, v.Filtered->pts));
            ff::av_frame_unref(v.Filtered.get());
        }
    }
    SendToEncoder(ost, nullptr);
    if (v.PassLog)
        v.PassLog->flush();
}
