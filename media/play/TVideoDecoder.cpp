#include "media/play/TVideoDecoder.h"

#include "media/FFLog.h"
#include "media/play/PlayerCodec.h"
#include "media/play/TPlayerHost.h"
#include "media/play/TPlaybackState.h"
#include "media/play/TPlayerLogQueue.h"
#include "media/play/TPlayerDisplay.h"
#include "media/play/TSubtitleDecoder.h"


#include <chrono>

#include <pthread.h>
#include <system_error>
#include <cmath>
#include <cstring>

namespace {

double WallSeconds() {
    return double(ff::av_gettime()) / 1000000.0;
}

} // namespace

TVideoDecoder::TVideoDecoder(TPlaybackState& playback) : FPlayback(playback) {}

TVideoDecoder::~TVideoDecoder() {
    Close();
}

int TVideoDecoder::Open(AVStream* stream) {
    FCodec = OpenPlayerDecoder(stream, FPlayback.Opt.Decoder);
    if (!FCodec) {
        FPlayback.Log.Push(llError, QStringLiteral("avcodec_open() failed."));
        return -1;
    }
    FFrame = MakeFrame();
    for (TPicture& p : FPics)
        p.Frame = MakeFrame();
    FTimeBase = stream->time_base;
    FWidth = FCodec->width;
    FHeight = FCodec->height;
    ChooseFrameDuration(stream);
    FLastFrameDelay = FFrameDuration;
    if (!FPlayback.Opt.VideoFilters.trimmed().isEmpty()) {
        // A description that cannot work is refused now, with its reason, rather than by a video
        // thread that would stop showing anything.
        FFiltered = MakeFrame();
        TVideoFilterGraph check;
        QString error;
        if (!check.Build(FPlayback.Opt.VideoFilters, FPlayback.Opt.ScalerFlags,
                         {FCodec->width, FCodec->height, FCodec->pix_fmt, FTimeBase,
                          stream->sample_aspect_ratio},
                         error)) {
            FPlayback.Log.Push(llError, error);
            ClosePlayerDecoder(FCodec);
            return -1;
        }
    }
    FFrameTimer = WallSeconds();
    return 0;
}

void TVideoDecoder::ChooseFrameDuration(AVStream* stream) {
    FStreamIndex = stream->index;
    FStreamRate = stream->r_frame_rate;
    if (FStreamRate.num <= 0 || FStreamRate.den <= 0)
        FStreamRate = stream->avg_frame_rate;
    // The container's rate wins: it is the one the time stamps follow.
    FFrameDuration =
        FStreamRate.num > 0 && FStreamRate.den > 0 ? av_q2d(av_inv_q(FStreamRate)) : 0.04;
}

void TVideoDecoder::CheckCodecRate() {
    // The decoder knows its rate from the stream's headers once it has decoded a picture.
    const AVRational codec = FCodec->framerate, stream = FStreamRate;
    if (codec.num > 0 && codec.den > 0 && stream.num > 0 && stream.den > 0 &&
        av_cmp_q(codec, stream) != 0)
        FPlayback.Log.PushFmt(llInfo,
                              "Seems stream %d codec frame rate differs from container frame "
                              "rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
                              FStreamIndex, av_q2d(codec), codec.num, codec.den, av_q2d(stream),
                              stream.num, stream.den);
}

bool TVideoDecoder::StartThread() {
    try {
        FThread = std::thread([this] {
            pthread_setname_np(pthread_self(), "snip-video");
            // The play thread joins this one while it holds the player lock, and the main
            // thread may be waiting for that lock: a log line must not wait for the main thread.
            TLogNoWaitScope noWait;
            Run();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TVideoDecoder::Abort() {
    FAborted = true;
    std::lock_guard<std::mutex> lock(FPictLock);
    FPictChanged.notify_all();
}

void TVideoDecoder::Close() {
    if (FClosed.exchange(true))
        return;
    FPlayback.VideoQ.Abort();
    Abort();
    if (FThread.joinable())
        FThread.join();
    ClosePlayerDecoder(FCodec);
    for (SwsContext** sws : {&FSws, &FToRGB, &FFromRGB}) {
        if (*sws != nullptr)
            ff::sws_freeContext(*sws);
        *sws = nullptr;
    }
}

double TVideoDecoder::Clock(bool paused, double mediaStart) const {
    if (paused)
        return FCurPts;
    const double drift = FCurDrift;
    if (drift == 0)
        return mediaStart;
    return drift + WallSeconds();
}

void TVideoDecoder::Resumed(bool inputCannotPause) {
    const double now = WallSeconds();
    std::lock_guard<std::mutex> lock(FPictLock);
    FFrameTimer += now + FCurDrift - FCurPts;
    if (!inputCannotPause)
        FCurPts = FCurDrift + now;
    FCurDrift = FCurPts - now;
}

// ---- video thread -----------------------------------------------------------------------------

void TVideoDecoder::Run() {
    TPlaybackState& pb = FPlayback;
    while (!FAborted) {
        while (pb.Paused && !FAborted && !pb.PausedBeforeSeek && pb.OpenedPaused == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        TQueuedPacket item;
        if (pb.VideoQ.Get(item, true) < 0)
            break;
        if (item.Flush) {
            Flush();
            continue;
        }
        if (!DecodeAndQueue(item.Packet.get()))
            break;
    }
}

void TVideoDecoder::Flush() {
    ff::avcodec_flush_buffers(FCodec.get());
    std::unique_lock<std::mutex> lock(FPictLock);
    for (TPicture& p : FPics)
        p.Target = 0;
    FPictChanged.wait(lock, [this] { return FSize == 0 || FAborted; });
    FCurPos = -1;
    FLastFramePts = -1;
    FLastFrameDelay = FFrameDuration;
    FFrameTimer = WallSeconds();
    lock.unlock();
    FSkip.Reset();
    if (FFilters.Built())
        FFilters.Reset(); // pictures of before the seek stay out of the new place
    FPlayback.FlushSeen = 1;
}

double TVideoDecoder::ChooseTimestamp(const AVFrame* frame) const {
    int64_t ts;
    const int reorder = FPlayback.Opt.Reorder;
    if (reorder == -1)
        ts = frame->best_effort_timestamp; // the decoder's own choice between the two stamps
    else if (reorder != 0)
        ts = frame->pts;
    else
        ts = frame->pkt_dts;
    return ts == AV_NOPTS_VALUE ? 0.0 : double(ts) * av_q2d(FTimeBase);
}

bool TVideoDecoder::DecodeAndQueue(const AVPacket* pkt) {
    const bool drain = pkt->size == 0 && pkt->data == nullptr;
    if (ff::avcodec_send_packet(FCodec.get(), drain ? nullptr : pkt) < 0 && !drain)
        return true;
    for (;;) {
        const int ret = ff::avcodec_receive_frame(FCodec.get(), FFrame.get());
        if (ret == AVERROR_EOF) {
            // Drained at the end of input; a later seek decodes again.
            ff::avcodec_flush_buffers(FCodec.get());
            return true;
        }
        if (ret < 0)
            return true;
        if (!FRateChecked) {
            FRateChecked = true;
            CheckCodecRate();
        }
        if (!FSkip.Take()) {
            ff::av_frame_unref(FFrame.get());
            continue;
        }
        const bool go = Filter(FFrame.get());
        ff::av_frame_unref(FFrame.get());
        if (!go)
            return false;
    }
}

bool TVideoDecoder::Filter(AVFrame* frame) {
    if (!FFiltered) // no filters
        return OutputPicture(frame, ChooseTimestamp(frame));
    if (FFiltersFailed)
        return true;
    if (!FFilters.Accepts(frame)) {
        QString error;
        if (!FFilters.Build(
                FPlayback.Opt.VideoFilters, FPlayback.Opt.ScalerFlags,
                {frame->width, frame->height, frame->format, FTimeBase, frame->sample_aspect_ratio},
                error)) {
            FPlayback.Log.Push(llError, error);
            FFiltersFailed = true;
            return true;
        }
    }
    // The time stamp chosen for the picture travels through the graph as its pts.
    frame->pts = std::llround(ChooseTimestamp(frame) / av_q2d(FTimeBase));
    if (FFilters.Push(frame) < 0)
        return true;
    for (;;) {
        if (FFilters.Pull(FFiltered.get()) < 0)
            return true; // the graph wants more input
        const double pts = FFiltered->pts == AV_NOPTS_VALUE
                               ? 0.0
                               : double(FFiltered->pts) * av_q2d(FFilters.OutputTimeBase());
        const bool go = OutputPicture(FFiltered.get(), pts);
        ff::av_frame_unref(FFiltered.get());
        if (!go)
            return false;
    }
}

bool TVideoDecoder::OutputPicture(AVFrame* frame, double pts) {
    TPlaybackState& pb = FPlayback;
    if (pb.SeekCompleted && pb.FlushSeen) {
        pb.SeekCompleted = 0;
        pb.FlushSeen = 0;
        pb.PausedBeforeSeek = 0;
    }
    if (pts != 0)
        FVideoClock = pts;
    else
        pts = FVideoClock;
    FVideoClock += FFrameDuration * (1 + frame->repeat_pict * 0.5);
    if (QueuePicture(frame, pts, frame->pkt_pos) < 0)
        return false;
    pb.Host.FrameReady().Set();
    pb.EndSignalled = false;
    if (pb.Host.SeekPending() && !pb.SeekReq)
        pb.Host.SeekPending() = false;
    if (pb.OpenedPaused != 0) {
        if (pb.OpenedPaused > 1) {
            pb.OpenedPaused = 0;
            pb.Host.SetState(psPause, pb.Generation);
        } else {
            ++pb.OpenedPaused;
        }
    }
    return true;
}

int TVideoDecoder::QueuePicture(AVFrame* frame, double pts, int64_t pos) {
    {
        std::unique_lock<std::mutex> lock(FPictLock);
        if (FSize == 2)
            FSkip.QueueFull(); // pictures come faster than they are shown: skip fewer
        FPictChanged.wait(lock, [this] { return FSize < 2 || FAborted; });
        if (FAborted)
            return -1;
    }
    TPicture& pic = FPics[FWrite];
    ff::av_frame_unref(pic.Frame.get());
    const int w = frame->width & ~1, h = frame->height & ~1;
    const bool flip = FPlayback.Opt.VerticalFlip != 0;
    if (frame->format == AV_PIX_FMT_YUV420P && w == frame->width && h == frame->height && !flip) {
        if (ff::av_frame_ref(pic.Frame.get(), frame) < 0)
            return -1;
    } else {
        pic.Frame->format = AV_PIX_FMT_YUV420P;
        pic.Frame->width = w;
        pic.Frame->height = h;
        if (w <= 0 || h <= 0 || ff::av_frame_get_buffer(pic.Frame.get(), 0) < 0)
            return -1;
        FSws = ff::sws_getCachedContext(FSws, frame->width, frame->height,
                                        AVPixelFormat(frame->format), w, h, AV_PIX_FMT_YUV420P,
                                        FPlayback.Opt.ScalerFlags, nullptr, nullptr, nullptr);
        if (FSws == nullptr)
            return -1;
        const uint8_t* src[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
        int srcStride[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2],
                            frame->linesize[3]};
        if (flip) {
            // Read bottom-up: start at the last row and step backwards.
            const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(AVPixelFormat(frame->format));
            for (int i = 0; i < 4 && src[i] != nullptr; ++i) {
                const int rows = i == 0 || i == 3 ? frame->height
                                                  : AV_CEIL_RSHIFT(frame->height, d->log2_chroma_h);
                src[i] += ptrdiff_t(srcStride[i]) * (rows - 1);
                srcStride[i] = -srcStride[i];
            }
        }
        ff::sws_scale(FSws, src, srcStride, 0, frame->height, pic.Frame->data, pic.Frame->linesize);
    }
    pic.Frame->sample_aspect_ratio = frame->sample_aspect_ratio;
    if (FPlayback.Host.VideoHookOn())
        RunHook(pic.Frame.get(), pts);
    pic.Pts = pts;
    pic.Pos = pos;
    FWrite = (FWrite + 1) % 2;

    std::lock_guard<std::mutex> lock(FPictLock);
    double delay = pts - FLastFramePts;
    if (FLastFramePts < 0 || delay <= 0 || delay >= 10)
        delay = FLastFrameDelay;
    else
        FLastFrameDelay = delay;
    FLastFramePts = pts;
    const int sync = FPlayback.Opt.SyncType;
    if ((sync == 0 && FPlayback.AudioIndex >= 0) || sync == 2) {
        const double diff = Clock(false, 0) - FPlayback.MasterClock();
        const double threshold = std::max(0.01, delay);
        if (std::fabs(diff) < 10) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    FFrameTimer += delay;
    pic.Target = FFrameTimer;
    ++FSize;
    return 0;
}

void TVideoDecoder::RunHook(AVFrame* picture, double pts) {
    TPlayerHost& host = FPlayback.Host;
    TBitmap bitmap(picture->width, picture->height, AV_PIX_FMT_RGB24);
    FToRGB = ff::sws_getCachedContext(FToRGB, picture->width, picture->height, AV_PIX_FMT_YUV420P,
                                      picture->width, picture->height, AV_PIX_FMT_RGB24,
                                      SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (FToRGB == nullptr || bitmap.IsNull()) {
        FPlayback.Log.Push(llError,
                           QStringLiteral("Cannot initialize the toRGB conversion context"));
        return;
    }
    uint8_t* dst[4] = {bitmap.Bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {bitmap.BytesPerLine(), 0, 0, 0};
    ff::sws_scale(FToRGB, picture->data, picture->linesize, 0, picture->height, dst, dstStride);
    const int64_t us = std::llround(pts * 1000000.0) - FPlayback.MediaStart;
    if (!host.RaiseVideoHook(bitmap, us) || bitmap.IsNull())
        return;
    // A handler may put a bitmap of another size or layout in place of ours: the scaler takes
    // it back from whatever it is.
    FFromRGB = ff::sws_getCachedContext(FFromRGB, bitmap.Width(), bitmap.Height(), bitmap.Format(),
                                        picture->width, picture->height, AV_PIX_FMT_YUV420P,
                                        SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (FFromRGB == nullptr || ff::av_frame_make_writable(picture) < 0) {
        FPlayback.Log.Push(llError,
                           QStringLiteral("Cannot initialize the fromRGB conversion context"));
        return;
    }
    const uint8_t* src[4] = {bitmap.ConstBits(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {bitmap.BytesPerLine(), 0, 0, 0};
    ff::sws_scale(FFromRGB, src, srcStride, 0, bitmap.Height(), picture->data, picture->linesize);
}

// ---- play thread ------------------------------------------------------------------------------

bool TVideoDecoder::Refresh(bool consume, TPlayerDisplay* display) {
    bool dropped = false;
    for (;;) {
        std::unique_lock<std::mutex> lock(FPictLock);
        if (FSize == 0) {
            lock.unlock();
            if (!consume && display != nullptr)
                display->Show();
            return !dropped;
        }
        TPicture& pic = FPics[FRead];
        const double now = WallSeconds();
        if (now < pic.Target)
            return false;
        FCurPts = pic.Pts;
        FCurDrift = pic.Pts - now;
        FCurPos = pic.Pos;
        const double nextTarget =
            FSize == 2 ? FPics[(FRead + 1) % 2].Target : pic.Target + FFrameDuration;
        const bool seekDone = FPlayback.SeekCompleted != 0;
        if ((FPlayback.Opt.FrameDrop && now > nextTarget && !FPlayback.CaptureDevice) || seekDone) {
            FSkip.Late();
            if (FSize == 2 || now > nextTarget + 0.5 || seekDone) {
                FRead = (FRead + 1) % 2;
                --FSize;
                FPictChanged.notify_all();
                dropped = true;
                continue;
            }
        }
        lock.unlock();
        if (TSubtitleDecoder* subtitles = FPlayback.Subtitles())
            subtitles->Expire(pic.Pts);
        if (display != nullptr)
            display->ShowPicture(pic.Frame.get(), pic.Pts);
        if (consume) {
            lock.lock();
            FRead = (FRead + 1) % 2;
            --FSize;
            FPictChanged.notify_all();
        }
        return !dropped;
    }
}
