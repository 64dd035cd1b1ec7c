#include "media/encode/video/FFVideoPath.h"

#include "media/encode/loop/FFLoopSupport.h"
#include "media/encode/video/FFVideoSync.h"

#include <algorithm>
#include <climits>
#include <cmath>

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
    // The size asked for ("s"); an output without one takes the cropped input's, or with a
    // filter graph whatever the graph makes of it.
    const bool sizeGiven = e->width > 0 && e->height > 0;
    if (!sizeGiven) {
        e->width = cw;
        e->height = ch;
    }
    v.Resample = cw != e->width || ch != e->height || ip->format != e->pix_fmt;
    v.InWidth = ip->width;
    v.InHeight = ip->height;
    v.InFormat = ip->format;
    const AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                               : ip->sample_aspect_ratio;
    if (!S.VideoFilters.empty() || S.DoDeinterlace) {
        BuildGraph(ost, ip->width, ip->height, ip->format, sar, sizeGiven ? e->width : 0,
                   sizeGiven ? e->height : 0);
        // The encoder is opened for what the graph gives, as the ffmpeg tool opens it.
        e->width = v.Graph->OutputWidth();
        e->height = v.Graph->OutputHeight();
        e->pix_fmt = AVPixelFormat(v.Graph->OutputFormat());
        if (!e->sample_aspect_ratio.num)
            e->sample_aspect_ratio = v.Graph->OutputSampleAspect();
        if (e->width <= 0 || e->height <= 0 || e->pix_fmt == AV_PIX_FMT_NONE)
            Raise(std::string("Error opening filters: the graph gives no picture size"));
    } else {
        if (v.Resample)
            MakeScaler(ost, ip->width, ip->height, ip->format);
        // Without an aspect asked for, the picture keeps the input's shape on the screen.
        if (!e->sample_aspect_ratio.num && cw > 0 && ch > 0) {
            const double dar = (sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0) * cw / ch;
            e->sample_aspect_ratio = ff::av_d2q(dar * e->height / e->width, 255);
        }
    }

    // The frame clock: how "vsync" works for this output, and how long an input picture lasts.
    const AVOutputFormat* of = Out[size_t(ost.FileIndex)].Context->oformat;
    const size_t file = size_t(ist.FileIndex);
    const int inputStreams =
        (file + 1 < T.FirstOfInput.size() ? T.FirstOfInput[file + 1] : int(T.Inputs.size())) -
        T.FirstOfInput[file];
    v.SyncMethod =
        ResolveVideoSyncMethod(S.VideoSyncMethod, of->name, of->flags & AVFMT_VARIABLE_FPS,
                               of->flags & AVFMT_NOTIMESTAMPS, inputStreams == 1, S.CopyTs);
    AVRational rate = ist.Stream->r_frame_rate;
    const AVRational avg = ist.Stream->avg_frame_rate;
    if (avg.num > 0 && avg.den > 0 && rate.num > 0 && rate.den > 0 && av_q2d(avg) < 70 &&
        av_q2d(rate) > 210)
        rate = avg;
    const double tb = av_q2d(e->time_base);
    v.FrameDuration =
        rate.num > 0 && rate.den > 0 && tb > 0 ? std::min(1.0, 1.0 / (av_q2d(rate) * tb)) : 0.0;

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

void TFFVideoPath::BuildGraph(TFFOutputStream& ost, int w, int h, int format, AVRational sar,
                              int outWidth, int outHeight) {
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
    setup.OutWidth = outWidth;
    setup.OutHeight = outHeight;
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
        // The new size goes through a new graph, which ends in the encoder's size; what the old
        // one still holds is written first.
        DrainGraph(ost);
        BuildGraph(ost, picture->width, picture->height, picture->format,
                   picture->sample_aspect_ratio, ost.Encoder->width, ost.Encoder->height);
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
            Emit(ost, v.Filtered.get(), out, 0);
            ff::av_frame_unref(v.Filtered.get());
        }
        return;
    }
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
        // What the encoder is told about the picture stays that of the input.
        v.Scaled->interlaced_frame = src->interlaced_frame;
        v.Scaled->top_field_first = src->top_field_first;
        v.Scaled->quality = src->quality;
        src = v.Scaled.get();
    }
    // Without filters a picture lasts as long as its packet says, as in the ffmpeg tool.
    const double tb = av_q2d(ost.Encoder->time_base);
    const double packetDuration =
        picture->pkt_duration > 0 && tb > 0
            ? double(std::lrint(double(picture->pkt_duration) * av_q2d(ist.Stream->time_base) / tb))
            : 0.0;
    Emit(ost, src, pts, packetDuration);
    if (Cropped)
        ff::av_frame_unref(Cropped.get());
}

void TFFVideoPath::DrainGraph(TFFOutputStream& ost) {
    TFFVideoOutput& v = *ost.Video;
    v.Graph->Push(nullptr);
    while (v.Graph->Pull(v.Filtered.get())) {
        if (v.Filtered->pts != AV_NOPTS_VALUE)
            Emit(ost, v.Filtered.get(), v.Filtered->pts, 0);
        ff::av_frame_unref(v.Filtered.get());
    }
}

const AVFrame* TFFVideoPath::Fit(TFFOutputStream& ost, const AVFrame* picture) {
    const AVCodecContext* e = ost.Encoder;
    if (picture->width == e->width && picture->height == e->height && picture->format == e->pix_fmt)
        return picture;
    TFFVideoOutput& v = *ost.Video;
    if (!v.Fitted || v.Fitted->width != e->width || v.Fitted->height != e->height) {
        v.Fitted = MakeFrame();
        if (!v.Fitted)
            Raise(std::string("Cannot allocate temp picture, check pix fmt"));
        v.Fitted->width = e->width;
        v.Fitted->height = e->height;
        v.Fitted->format = e->pix_fmt;
        if (ff::av_frame_get_buffer(v.Fitted.get(), 0) < 0)
            Raise(std::string("Cannot allocate temp picture, check pix fmt"));
    } else if (ff::av_frame_make_writable(v.Fitted.get()) < 0) {
        Raise(std::string("Cannot allocate temp picture, check pix fmt"));
    }
    v.Fitter.reset(ff::sws_getCachedContext(v.Fitter.release(), picture->width, picture->height,
                                            AVPixelFormat(picture->format), e->width, e->height,
                                            e->pix_fmt, SwsFlags(), nullptr, nullptr, nullptr));
    if (!v.Fitter)
        Raise(std::string("Cannot get resampling context"));
    ff::sws_scale(v.Fitter.get(), picture->data, picture->linesize, 0, picture->height,
                  v.Fitted->data, v.Fitted->linesize);
    v.Fitted->interlaced_frame = picture->interlaced_frame;
    v.Fitted->top_field_first = picture->top_field_first;
    v.Fitted->quality = picture->quality;
    return v.Fitted.get();
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

void TFFVideoPath::Count(const TVideoSyncResult& r) {
    T.DropFrames += r.Drops;
    T.DupFrames += r.Dups;
    if (S.Verbose <= 2)
        return;
    if (r.TooLarge)
        Log(TStageLog::Verbose, QStringLiteral("frame duplication too large, skipping"));
    else if (r.Drops)
        Log(TStageLog::Verbose, QStringLiteral("*** drop!"));
    if (r.Dups)
        Log(TStageLog::Verbose, QString::asprintf("*** %lld dup!", (long long)r.Dups));
}

void TFFVideoPath::Emit(TFFOutputStream& ost, const AVFrame* picture, int64_t pts,
                        double packetDuration) {
    TFFVideoOutput& v = *ost.Video;
    const AVCodecContext* e = ost.Encoder;
    picture = Fit(ost, picture);
    // The picture's time in encoder frames from the output's start, nudged off exact halves as
    // the ffmpeg tool does, so both round alike.
    const double tb = av_q2d(e->time_base);
    double ipts = tb > 0 ? double(pts - S.StartTime) / 1000000.0 / tb : 0.0;
    if (ipts != 0)
        ipts += (ipts > 0 ? 1.0 : -1.0) / double(1 << 17);
    const double duration = packetDuration > 0 ? packetDuration : v.FrameDuration;
    const TVideoSyncResult r = VideoSync(v.SyncMethod, ipts, duration, S.MaxVideoFrames, v.Sync);
    Count(r);
    if (!v.Last)
        v.Last = NewFrame();
    for (int64_t i = 0; i < r.Frames && !StopFlag.load(std::memory_order_relaxed); ++i)
        EncodeFrame(ost, i < r.Nb0 && v.Last->buf[0] ? v.Last.get() : picture);
    // Dropped or not, it is the picture a later gap repeats.
    ff::av_frame_unref(v.Last.get());
    if (ff::av_frame_ref(v.Last.get(), picture) < 0)
        Raise(std::string("Video encoding failed"));
}

void TFFVideoPath::EncodeFrame(TFFOutputStream& ost, const AVFrame* picture) {
    TFFVideoOutput& v = *ost.Video;
    AVCodecContext* e = ost.Encoder;
    if (!Work)
        Work = NewFrame();
    ff::av_frame_unref(Work.get());
    if (ff::av_frame_ref(Work.get(), picture) < 0)
        Raise(std::string("Video encoding failed"));
    const int64_t outPts = ff::av_rescale_q(v.Sync.SyncPos, e->time_base, MicroBase);
    const int frameNumber = int(std::min<int64_t>(v.Sync.Written + 1, INT_MAX));
    bool hooked = false;
    if (OutputHook.Assigned()) {
        // The hook draws on a copy: the same picture may be written again (duplicates) or
        // still be referenced by the encoder.
        if (ff::av_frame_make_writable(Work.get()) < 0)
            Log(TStageLog::Error, QStringLiteral("hook buf malloc error."));
        else
            hooked = OutputHook.Run(Work.get(), outPts, frameNumber);
    }
    Work->pts = v.Sync.SyncPos;
    Work->pict_type = AV_PICTURE_TYPE_NONE;
    Work->sample_aspect_ratio = e->sample_aspect_ratio;
    if (S.FrameTopFieldFirst >= 0) {
        Work->interlaced_frame = 1;
        Work->top_field_first = S.FrameTopFieldFirst;
    }
    // "sameq": the quantiser the input picture was coded with, where its decoder tells it.
    Work->quality = S.SameQuality && picture->quality > 0 ? picture->quality : e->global_quality;
    Preview.Show(Work.get(), outPts, frameNumber,
                 hooked && OutputHook.Depth() == PreviewControl.BitDepth() ? &OutputHook.Bitmap()
                                                                           : nullptr);
    SendToEncoder(ost, Work.get());
    ++v.Sync.SyncPos;
    ++v.Sync.Written;
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
        // "vsync drop": the muxer makes the timestamps up, as with the ffmpeg tool.
        if (ost.Video && ost.Video->SyncMethod == VsyncDrop)
            pkt->pts = pkt->dts = AV_NOPTS_VALUE;
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
    if (v.Graph)
        DrainGraph(ost);
    // The end of the stream: the last picture as often as the clock has lately repeated it.
    const TVideoSyncResult r = VideoSyncFlush(S.MaxVideoFrames, v.Sync);
    Count(r);
    for (int64_t i = 0;
         i < r.Frames && v.Last && v.Last->buf[0] && !StopFlag.load(std::memory_order_relaxed); ++i)
        EncodeFrame(ost, v.Last.get());
    if (v.Last)
        ff::av_frame_unref(v.Last.get());
    SendToEncoder(ost, nullptr);
    if (v.PassLog)
        v.PassLog->flush();
}
