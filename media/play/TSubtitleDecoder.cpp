#include "media/play/TSubtitleDecoder.h"

#include "media/FFLog.h"
#include "media/play/PlayerCodec.h"
#include "media/play/TPlaybackState.h"
#include "media/play/TPlayerLogQueue.h"

#include <algorithm>
#include <chrono>

#include <pthread.h>
#include <system_error>

namespace {

// Studio-range (CCIR 601) conversion in 10-bit fixed point.
constexpr int ScaleBits = 10;
constexpr int OneHalf = 1 << (ScaleBits - 1);
constexpr int Fix(double x) {
    return int(x * (1 << ScaleBits) + 0.5);
}

} // namespace

uint32_t PaletteRgbaToYuva(uint32_t argb) {
    const int a = int(argb >> 24), r = int((argb >> 16) & 0xFF), g = int((argb >> 8) & 0xFF),
              b = int(argb & 0xFF);
    const int y = (Fix(0.29900 * 219.0 / 255.0) * r + Fix(0.58700 * 219.0 / 255.0) * g +
                   Fix(0.11400 * 219.0 / 255.0) * b + (OneHalf + (16 << ScaleBits))) >>
                  ScaleBits;
    const int u = ((-Fix(0.16874 * 224.0 / 255.0) * r - Fix(0.33126 * 224.0 / 255.0) * g +
                    Fix(0.50000 * 224.0 / 255.0) * b + OneHalf - 1) >>
                   ScaleBits) +
                  128;
    const int v = ((Fix(0.50000 * 224.0 / 255.0) * r - Fix(0.41869 * 224.0 / 255.0) * g -
                    Fix(0.08131 * 224.0 / 255.0) * b + OneHalf - 1) >>
                   ScaleBits) +
                  128;
    auto byte = [](int x) { return uint32_t(std::clamp(x, 0, 255)); };
    return (byte(a) << 24) | (byte(y) << 16) | (byte(u) << 8) | byte(v);
}

void BlendSubtitleRect(AVFrame* picture, const AVSubtitleRect* rect) {
    if (rect->type != SUBTITLE_BITMAP || rect->data[0] == nullptr || rect->data[1] == nullptr)
        return;
    const int x0 = std::clamp(rect->x, 0, picture->width);
    const int y0 = std::clamp(rect->y, 0, picture->height);
    const int x1 = std::clamp(rect->x + rect->w, 0, picture->width);
    const int y1 = std::clamp(rect->y + rect->h, 0, picture->height);
    if (x0 >= x1 || y0 >= y1)
        return;
    const auto* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
    const int colours = std::clamp(rect->nb_colors, 1, 256);
    auto colour = [&](int x, int y) {
        const int index = rect->data[0][ptrdiff_t(y - rect->y) * rect->linesize[0] + (x - rect->x)];
        return index < colours ? palette[index] : 0u; // an index past the palette is clear
    };
    for (int y = y0; y < y1; ++y) {
        uint8_t* row = picture->data[0] + ptrdiff_t(y) * picture->linesize[0];
        for (int x = x0; x < x1; ++x) {
            const uint32_t c = colour(x, y);
            const int alpha = int(c >> 24), luma = int((c >> 16) & 0xFF);
            row[x] = uint8_t((row[x] * (255 - alpha) + luma * alpha) / 255);
        }
    }
    // Chroma once per 2x2 block, from those of its pixels that lie inside the rectangle.
    for (int cy = y0 / 2; cy <= (y1 - 1) / 2; ++cy) {
        uint8_t* uRow = picture->data[1] + ptrdiff_t(cy) * picture->linesize[1];
        uint8_t* vRow = picture->data[2] + ptrdiff_t(cy) * picture->linesize[2];
        for (int cx = x0 / 2; cx <= (x1 - 1) / 2; ++cx) {
            int k = 0, alphaSum = 0, uSum = 0, vSum = 0;
            for (int y = 2 * cy; y < 2 * cy + 2; ++y)
                for (int x = 2 * cx; x < 2 * cx + 2; ++x)
                    if (x >= x0 && x < x1 && y >= y0 && y < y1) {
                        const uint32_t c = colour(x, y);
                        ++k;
                        alphaSum += int(c >> 24);
                        uSum += int((c >> 8) & 0xFF);
                        vSum += int(c & 0xFF);
                    }
            const int a = alphaSum >> 2;
            uRow[cx] = uint8_t((uRow[cx] * k * (255 - a) + uSum * a) / (255 * k));
            vRow[cx] = uint8_t((vRow[cx] * k * (255 - a) + vSum * a) / (255 * k));
        }
    }
}

TSubtitleDecoder::TSubtitleDecoder(TPlaybackState& playback) : FPlayback(playback) {}

TSubtitleDecoder::~TSubtitleDecoder() {
    Close();
}

int TSubtitleDecoder::Open(AVStream* stream) {
    FCodec = OpenPlayerDecoder(stream, FPlayback.Opt.Decoder);
    if (!FCodec) {
        FPlayback.Log.Push(llError, QStringLiteral("avcodec_open() failed."));
        return -1;
    }
    FTimeBase = stream->time_base;
    return 0;
}

bool TSubtitleDecoder::StartThread() {
    try {
        FThread = std::thread([this] {
            pthread_setname_np(pthread_self(), "snip-subtitle");
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

void TSubtitleDecoder::Abort() {
    FAborted = true;
    std::lock_guard<std::mutex> lock(FLock);
    FChanged.notify_all();
}

void TSubtitleDecoder::Close() {
    if (FClosed.exchange(true))
        return;
    FPlayback.SubtitleQ.Abort();
    Abort();
    if (FThread.joinable())
        FThread.join();
    {
        std::lock_guard<std::mutex> lock(FLock);
        FreeAll();
    }
    ClosePlayerDecoder(FCodec);
}

void TSubtitleDecoder::FreeAll() {
    for (TSubtitlePicture& p : FQueue)
        ff::avsubtitle_free(&p.Sub);
    FQueue.clear();
    FChanged.notify_all();
}

int TSubtitleDecoder::Queued() {
    std::lock_guard<std::mutex> lock(FLock);
    return int(FQueue.size());
}

void TSubtitleDecoder::Run() {
    TPlaybackState& pb = FPlayback;
    while (!FAborted) {
        while (pb.Paused && !FAborted && !pb.PausedBeforeSeek)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        TQueuedPacket item;
        if (pb.SubtitleQ.Get(item, true) < 0)
            break;
        if (item.Flush) {
            ff::avcodec_flush_buffers(FCodec.get());
            // Subtitles of before a seek: after a seek back they would stand in front of the
            // new place's own until their far-off time came.
            std::lock_guard<std::mutex> lock(FLock);
            FreeAll();
            continue;
        }
        {
            std::unique_lock<std::mutex> lock(FLock);
            FChanged.wait(lock, [this] { return int(FQueue.size()) < MaxQueued || FAborted; });
            if (FAborted)
                break;
        }
        AVSubtitle sub{};
        int got = 0;
        if (ff::avcodec_decode_subtitle2(FCodec.get(), &sub, &got, item.Packet.get()) < 0 ||
            got == 0)
            continue;
        if (sub.format != 0) { // text subtitles are not drawn
            ff::avsubtitle_free(&sub);
            continue;
        }
        const int64_t ts = item.Packet->pts;
        const double pts = ts != AV_NOPTS_VALUE ? double(ts) * av_q2d(FTimeBase) : 0.0;
        for (unsigned i = 0; i < sub.num_rects; ++i) {
            AVSubtitleRect* rect = sub.rects[i];
            if (rect->type != SUBTITLE_BITMAP || rect->data[1] == nullptr)
                continue;
            auto* palette = reinterpret_cast<uint32_t*>(rect->data[1]);
            for (int j = 0; j < std::min(rect->nb_colors, 256); ++j)
                palette[j] = PaletteRgbaToYuva(palette[j]);
        }
        std::lock_guard<std::mutex> lock(FLock);
        FQueue.push_back({pts, sub});
    }
}

// ---- play thread ------------------------------------------------------------------------------

void TSubtitleDecoder::Expire(double videoPts) {
    std::lock_guard<std::mutex> lock(FLock);
    while (!FQueue.empty()) {
        const TSubtitlePicture& first = FQueue.front();
        const bool over = videoPts > first.Pts + first.Sub.end_display_time / 1000.0;
        const bool replaced = FQueue.size() > 1 &&
                              videoPts > FQueue[1].Pts + FQueue[1].Sub.start_display_time / 1000.0;
        if (!over && !replaced)
            return;
        ff::avsubtitle_free(&FQueue.front().Sub);
        FQueue.pop_front();
        FChanged.notify_all();
    }
}

const AVFrame* TSubtitleDecoder::Overlay(const AVFrame* picture, double videoPts,
                                         AVFrame* scratch) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FQueue.empty())
        return picture;
    const TSubtitlePicture& sp = FQueue.front();
    if (sp.Sub.num_rects == 0 || videoPts < sp.Pts + sp.Sub.start_display_time / 1000.0)
        return picture;
    // The picture may be the decoder's own reference frame: the subtitle goes onto a copy.
    if (scratch->width != picture->width || scratch->height != picture->height ||
        scratch->format != picture->format || scratch->data[0] == nullptr) {
        ff::av_frame_unref(scratch);
        scratch->width = picture->width;
        scratch->height = picture->height;
        scratch->format = picture->format;
        if (ff::av_frame_get_buffer(scratch, 0) < 0) {
            ff::av_frame_unref(scratch);
            return picture; // no room for a copy: the picture goes without its subtitle
        }
    }
    ff::av_image_copy(scratch->data, scratch->linesize, const_cast<const uint8_t**>(picture->data),
                      picture->linesize, AVPixelFormat(picture->format), picture->width,
                      picture->height);
    scratch->sample_aspect_ratio = picture->sample_aspect_ratio;
    for (unsigned i = 0; i < sp.Sub.num_rects; ++i)
        BlendSubtitleRect(scratch, sp.Sub.rects[i]);
    return scratch;
}
