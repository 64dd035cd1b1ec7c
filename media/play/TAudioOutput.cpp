#include "media/play/TAudioOutput.h"

#include "media/FFLog.h"

#include "media/FFLoad.h"
#include "media/play/TPlayerHost.h"
#include "media/play/TPlaybackState.h"
#include "media/play/TPlayerLogQueue.h"
#include "media/play/PlayerCodec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

TAudioOutput::TAudioOutput(TPlaybackState& playback)
    : FPlayback(playback), FPublishedClock(std::numeric_limits<double>::quiet_NaN()) {}

TAudioOutput::~TAudioOutput() {
    Close();
}

namespace {

void ApplyDecoderOptions(AVCodecContext* ctx, const TDecoderOptions& o) {
    ctx->debug = o.Debug;
    ctx->workaround_bugs = o.WorkaroundBugs;
    ctx->lowres = o.Lowres;
    ctx->idct_algo = o.IdctAlgo;
    if (o.Fast)
        ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    ctx->skip_frame = AVDiscard(o.SkipFrame);
    ctx->skip_idct = AVDiscard(o.SkipIdct);
    ctx->skip_loop_filter = AVDiscard(o.SkipLoopFilter);
    ctx->err_recognition = o.ErrorRecognition;
    ctx->error_concealment = o.ErrorConcealment;
    // One decoding thread: the player's threads are enough for a preview.
    ctx->thread_count = 1;
}

} // namespace

// Shared with the video path, which opens its decoder the same way.
AVCodecContextPtr OpenPlayerDecoder(AVStream* st, const TDecoderOptions& options) {
    const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
    if (codec == nullptr)
        return nullptr;
    AVCodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
    if (!ctx || ff::avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0)
        return nullptr;
    ctx->pkt_timebase = st->time_base;
    ApplyDecoderOptions(ctx.get(), options);
    int ret;
    {
        auto codecs = LockCodecs();
        ret = ff::avcodec_open2(ctx.get(), codec, nullptr);
    }
    if (ret < 0) {
        auto codecs = LockCodecs();
        ctx.reset();
    }
    return ctx;
}

void ClosePlayerDecoder(AVCodecContextPtr& ctx) {
    if (!ctx)
        return;
    auto codecs = LockCodecs();
    ctx.reset();
}

int TAudioOutput::Open(AVStream* stream) {
    FCodec = OpenPlayerDecoder(stream, FPlayback.Opt.Decoder);
    if (!FCodec) {
        FPlayback.Log.Push(llError, QStringLiteral("avcodec_open() failed."));
        return -1;
    }
    FFrame = MakeFrame();
    FTimeBase = stream->time_base;
    const int channels = FCodec->ch_layout.nb_channels;
    // More than two channels are mixed down to two, as the device is asked for.
    FChannels = channels == 1 || channels == 2 ? channels : 2;
    FSampleRate = FCodec->sample_rate;

    SDL_AudioSpec wanted = {}, obtained = {};
    wanted.freq = FSampleRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = Uint8(FChannels);
    wanted.silence = 0;
    wanted.samples = DeviceSamples;
    wanted.callback = &TAudioOutput::CallbackThunk;
    wanted.userdata = this;
    FDevice = FSampleRate > 0 ? ff::SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0) : 0;
    if (FDevice == 0) {
        FPlayback.Log.Push(llError, QStringLiteral("SDL_OpenAudio() failed: ") +
                                        QString::fromUtf8(ff::SDL_GetError()));
        ClosePlayerDecoder(FCodec);
        return -1;
    }
    FBytesPerSecond = FSampleRate * FChannels * 2;
    FDiffCoef = std::exp(std::log(0.01) / 20);
    FDiffCount = 0;
    FDiffThreshold = 2.0 * DeviceSamples / FSampleRate;
    FSize = FIndex = 0;
    return 0;
}

void TAudioOutput::Close() {
    if (FDevice != 0) {
        // Waits for a running callback; the playback's abort makes it leave at once.
        ff::SDL_CloseAudioDevice(FDevice);
        FDevice = 0;
    }
    ClosePlayerDecoder(FCodec);
    FSwr.reset();
    FFrame.reset();
}

void SDLCALL TAudioOutput::CallbackThunk(void* userdata, Uint8* stream, int len) {
    // The device waits for us; so must nothing we call, the libraries' log lines included.
    TLogNoWaitScope noWait;
    static_cast<TAudioOutput*>(userdata)->Callback(stream, len);
}

void TAudioOutput::Callback(Uint8* stream, int len) {
    TPlayerHost& host = FPlayback.Host;
    FCallbackTime.store(ff::av_gettime(), std::memory_order_relaxed);
    while (len > 0) {
        if (FIndex >= FSize) {
            double chunkPts = 0;
            const int size = Decode(chunkPts);
            if (FPlayback.AbortRequest) {
                // SDL 2 does not clear the buffer it hands us.
                std::memset(stream, 0, size_t(len));
                return;
            }
            if (size < 0) {
                std::memset(FBuf1, 0, SilenceBytes);
                FCurrent = FBuf1;
                FSize = SilenceBytes;
                FSilence = true;
            } else {
                host.RaiseAudioHook(std::llround(chunkPts * 1000000.0) - FPlayback.MediaStart,
                                    FCurrent, size, FSampleRate, FChannels);
                if (FPlayback.AudioDisplayMode != 0)
                    FeedDisplay(FCurrent, size);
                FSize = SyncChunk(size);
                FSilence = false;
                FPlayed = true;
            }
            FIndex = 0;
        }
        const int n = std::min(len, FSize - FIndex);
        const int volume = host.Volume() & 0xFF;
        if (host.Muted() || volume == 0) {
            std::memset(stream, 0, size_t(n));
        } else if (volume == SDL_MIX_MAXVOLUME) {
            // Mixing into silence at full volume is a copy.
            std::memcpy(stream, FCurrent + FIndex, size_t(n));
        } else {
            std::memset(stream, 0, size_t(n));
            ff::SDL_MixAudioFormat(stream, FCurrent + FIndex, AUDIO_S16SYS, Uint32(n), volume);
        }
        FIndex += n;
        stream += n;
        len -= n;
    }
    if (FClockKnown) {
        // Silence played while paused or starved does not move the clock.
        const int pending = FSilence ? 0 : FSize - FIndex;
        FPendingBytes.store(pending, std::memory_order_relaxed);
        FPublishedClock.store(FClock - double(pending) / FBytesPerSecond,
                              std::memory_order_release);
        if (!FSilence)
            FPlayback.ClockMoved();
    }
}

int TAudioOutput::Decode(double& chunkPts) {
    AVCodecContext* ctx = FCodec.get();
    for (;;) {
        if (FPlayback.Paused || FPlayback.AbortRequest)
            return -1;
        if (FDecoderHasInput) {
            const int ret = ff::avcodec_receive_frame(ctx, FFrame.get());
            if (ret >= 0) {
                const int size = Convert(FFrame.get());
                const int64_t pts = FFrame->pts;
                ff::av_frame_unref(FFrame.get());
                if (size <= 0)
                    continue; // this frame is given up; the next one tries again
                if (pts != AV_NOPTS_VALUE)
                    FClock = double(pts) * av_q2d(FTimeBase);
                FClockKnown = true;
                chunkPts = FClock;
                FClock += double(size) / FBytesPerSecond;
                return size;
            }
            FDecoderHasInput = false;
            if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
                FPlayback.Log.Push(llInfo, QStringLiteral("avcodec_decode_audio2() failed"));
        }
        TQueuedPacket item;
        // An empty queue plays silence at once: the audio thread does not wait for the reader.
        // Only before the first sound does it give the reader, which starts at the same moment,
        // a few milliseconds: a buffer of silence first would hold the start back by a whole
        // device buffer.
        const int got = FPlayed ? FPlayback.AudioQ.Get(item, false)
                                : FPlayback.AudioQ.GetFor(item, FirstSoundWaitMs);
        if (got <= 0)
            return -1;
        if (item.Flush) {
            ff::avcodec_flush_buffers(ctx);
            continue;
        }
        if (item.Packet->size == 0)
            continue;
        if (ff::avcodec_send_packet(ctx, item.Packet.get()) < 0) {
            FPlayback.Log.Push(llInfo, QStringLiteral("avcodec_decode_audio2() failed"));
            continue;
        }
        FDecoderHasInput = true;
    }
}

int TAudioOutput::Convert(const AVFrame* frame) {
    const int channels = frame->ch_layout.nb_channels;
    if (frame->format == AV_SAMPLE_FMT_S16 && channels == FChannels &&
        frame->sample_rate == FSampleRate) {
        const int bytes = std::min(frame->nb_samples * channels * 2, int(BufferBytes));
        std::memcpy(FBuf1, frame->data[0], size_t(bytes));
        FCurrent = FBuf1;
        return bytes;
    }
    const uint64_t layoutKey = (uint64_t(channels) << 32) | uint32_t(frame->sample_rate);
    if (!FSwr || FSwrFormat != frame->format || FSwrLayoutKey != layoutKey) {
        FSwr.reset();
        AVChannelLayout outLayout;
        ff::av_channel_layout_default(&outLayout, FChannels);
        SwrContext* swr = nullptr;
        int ret =
            ff::swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, FSampleRate,
                                    const_cast<AVChannelLayout*>(&frame->ch_layout),
                                    AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        FSwr.reset(swr);
        if (ret >= 0)
            ret = ff::swr_init(swr);
        if (ret < 0) {
            FSwr.reset();
            const char* from = ff::av_get_sample_fmt_name(AVSampleFormat(frame->format));
            FPlayback.Log.PushFmt(llError, "Cannot convert %s sample format to %s sample format",
                                  from != nullptr ? from : "?", "s16");
            return -1;
        }
        FSwrFormat = frame->format;
        FSwrLayoutKey = layoutKey;
    }
    uint8_t* out = FBuf2;
    const int maxFrames = BufferBytes / (2 * FChannels);
    const int n =
        ff::swr_convert(FSwr.get(), &out, maxFrames,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n < 0) {
        FPlayback.Log.Push(llError, QStringLiteral("av_audio_convert() failed"));
        return -1;
    }
    FCurrent = FBuf2;
    return n * 2 * FChannels;
}

int TAudioOutput::SyncChunk(int size) {
    const int sync = FPlayback.Opt.SyncType;
    const bool audioMaster = !((sync == 1 && FPlayback.VideoIndex >= 0) || sync == 2);
    if (audioMaster)
        return size;
    const double master = FPlayback.MasterClock();
    if (std::isnan(master))
        return size;
    const int n = 2 * FChannels;
    const double diff = (FClock - double(size) / FBytesPerSecond) - master;
    if (!(std::fabs(diff) < 10.0)) {
        FDiffCount = 0;
        FDiffSum = 0;
        return size;
    }
    FDiffSum = diff + FDiffCoef * FDiffSum;
    if (FDiffCount < 20) {
        ++FDiffCount;
        return size;
    }
    const double average = FDiffSum * (1 - FDiffCoef);
    if (std::fabs(average) < FDiffThreshold)
        return size;
    int wanted = size + int(std::lround(diff * FSampleRate)) * n;
    const int minSize = (size / n * 90 / 100) * n;
    const int maxSize = std::min((size / n * 110 / 100) * n, int(BufferBytes) / n * n);
    wanted = std::clamp(wanted, minSize, std::max(minSize, maxSize));
    if (wanted > size) {
        // Lengthened by repeating the last sample frame; the chunk moves to the roomier buffer.
        if (FCurrent != FBuf2)
            std::memcpy(FBuf2, FCurrent, size_t(size));
        FCurrent = FBuf2;
        for (int at = size; at < wanted; at += n)
            std::memcpy(FCurrent + at, FCurrent + size - n, size_t(n));
    }
    return wanted;
}

void TAudioOutput::FeedDisplay(const uint8_t* data, int size) {
    const int16_t* samples = reinterpret_cast<const int16_t*>(data);
    int count = size / 2;
    std::lock_guard<std::mutex> lock(FDisplayLock);
    while (count > 0) {
        const int n = std::min(count, DisplayRingSamples - FDisplayWrite);
        std::memcpy(FDisplayRing + FDisplayWrite, samples, size_t(n) * 2);
        samples += n;
        count -= n;
        FDisplayWrite = (FDisplayWrite + n) % DisplayRingSamples;
    }
}

void TAudioOutput::CopyDisplaySamples(int16_t* out, int frames, int delayFrames) {
    const int total = frames * FChannels;
    std::lock_guard<std::mutex> lock(FDisplayLock);
    int at = FDisplayWrite - (delayFrames + frames) * FChannels;
    at = ((at % DisplayRingSamples) + DisplayRingSamples) % DisplayRingSamples;
    for (int i = 0; i < total; ++i) {
        out[i] = FDisplayRing[at];
        if (++at == DisplayRingSamples)
            at = 0;
    }
}
