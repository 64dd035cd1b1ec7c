#include "media/encode/audio/FFAudioPath.h"

#include "media/encode/audio/FFEncoderThread.h"

#include <algorithm>
#include <cmath>

using namespace ffstage;

namespace {

// Fills f (room for samples at least) with the next samples of ost's FIFO and stamps it: the
// stream's sample count, moved on past where the last frame ended when that lies ahead.
void TakeFromFifo(TFFOutputStream& ost, AVFrame* f, int samples) {
    if (ff::av_audio_fifo_read(ost.Fifo.get(), reinterpret_cast<void**>(f->extended_data),
                               samples) < samples)
        Raise(std::string("Audio encoding failed"));
    int64_t pts = ost.SyncOpts;
    if (ost.NextFramePts != AV_NOPTS_VALUE && pts < ost.NextFramePts)
        pts = ost.NextFramePts;
    f->pts = pts;
    f->nb_samples = samples;
    ost.NextFramePts = pts + samples;
    ost.SyncOpts += samples;
}

// A damaged MP3 can decode to floats far outside full scale (hundreds of thousands) or to NaN,
// and LAME aborts the whole process on such input (an assertion in its quantiser). Floats are
// limited to full scale, as a 16-bit path would have clipped them, and NaN becomes silence.
template <typename T> void ClampToFullScale(T* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const T x = samples[i];
        if (!(x >= T(-1) && x <= T(1)))
            samples[i] = std::isnan(x) ? T(0) : x > 0 ? T(1) : T(-1);
    }
}

void ClampFloatSamples(const std::vector<uint8_t*>& planes, int channels, int samples,
                       AVSampleFormat format) {
    const bool planar = planes.size() > 1;
    const size_t perPlane = size_t(samples) * size_t(planar ? 1 : channels);
    for (uint8_t* plane : planes) {
        if (format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP)
            ClampToFullScale(reinterpret_cast<float*>(plane), perPlane);
        else if (format == AV_SAMPLE_FMT_DBL || format == AV_SAMPLE_FMT_DBLP)
            ClampToFullScale(reinterpret_cast<double*>(plane), perPlane);
    }
}

} // namespace

int TFFAudioPath::BlockFormatFor(int decoderFormat) {
    switch (decoderFormat) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P:
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
        return AV_SAMPLE_FMT_S16;
    default:
        return AV_SAMPLE_FMT_FLT;
    }
}

int TFFAudioPath::ToBlock(TFFInputStream& ist, const AVFrame* frame) {
    const int channels = frame->ch_layout.nb_channels;
    if (!ist.ToBlock || ist.ToBlockInFormat != frame->format ||
        ist.ToBlockInRate != frame->sample_rate || ist.BlockChannels != channels) {
        ist.ToBlock.reset();
        ff::av_channel_layout_uninit(&ist.BlockLayout);
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            ff::av_channel_layout_default(&ist.BlockLayout, channels);
        else
            ff::av_channel_layout_copy(&ist.BlockLayout, &frame->ch_layout);
        const auto blockFormat = AVSampleFormat(BlockFormatFor(frame->format));
        SwrContext* swr = nullptr;
        if (ff::swr_alloc_set_opts2(&swr, &ist.BlockLayout, blockFormat, frame->sample_rate,
                                    &ist.BlockLayout, AVSampleFormat(frame->format),
                                    frame->sample_rate, 0, nullptr) < 0 ||
            ff::swr_init(swr) < 0) {
            ff::swr_free(&swr);
            Raise(Fmt("Cannot convert %s sample format to %s sample format",
                      ff::av_get_sample_fmt_name(AVSampleFormat(frame->format)),
                      ff::av_get_sample_fmt_name(blockFormat)));
        }
        ist.ToBlock.reset(swr);
        ist.ToBlockInFormat = frame->format;
        ist.ToBlockInRate = frame->sample_rate;
        ist.BlockFormat = blockFormat;
        ist.BlockRate = frame->sample_rate;
        ist.BlockChannels = channels;
    }
    const int sampleBytes = ist.BlockSampleBytes();
    const size_t bytes = size_t(frame->nb_samples) * size_t(channels) * size_t(sampleBytes);
    if (ist.Block.size() < bytes)
        ist.Block.resize(bytes);
    uint8_t* out = ist.Block.data();
    const int n =
        ff::swr_convert(ist.ToBlock.get(), &out, frame->nb_samples,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n < 0)
        Raise(std::string("av_audio_convert() failed"));
    return n * channels * sampleBytes;
}

void TFFAudioPath::ApplyVolume(int16_t* samples, size_t count, int volume) {
    if (volume == 256)
        return;
    for (size_t i = 0; i < count; ++i) {
        const int v = (int(samples[i]) * volume + 128) >> 8;
        samples[i] = int16_t(std::clamp(v, -32768, 32767));
    }
}

void TFFAudioPath::ApplyVolume(float* samples, size_t count, int volume) {
    if (volume == 256)
        return;
    // Float blocks keep their headroom; the encoder's own conversion clips what is too loud.
    const float gain = float(volume) / 256.0f;
    for (size_t i = 0; i < count; ++i)
        samples[i] *= gain;
}

void TFFAudioPath::ApplyVolume(TFFInputStream& ist, int volume) {
    const size_t count = size_t(ist.BlockSize / ist.BlockSampleBytes());
    if (ist.BlockFormat == AV_SAMPLE_FMT_S16)
        ApplyVolume(reinterpret_cast<int16_t*>(ist.Block.data()), count, volume);
    else
        ApplyVolume(reinterpret_cast<float*>(ist.Block.data()), count, volume);
}

void TFFAudioPath::MakeResampler(TFFOutputStream& ost, const TFFInputStream& ist) {
    AVCodecContext* e = ost.Encoder;
    if (ost.AudioResample && S.Verbose > 0 && ist.Decoder && ist.BlockFormat == AV_SAMPLE_FMT_S16 &&
        ist.Decoder->sample_fmt != AV_SAMPLE_FMT_S16)
        Log(TStageLog::Verbose, QStringLiteral("Warning, using s16 intermediate sample format "
                                               "for resampling"));
    SwrContext* swr = nullptr;
    if (ff::swr_alloc_set_opts2(&swr, &e->ch_layout, e->sample_fmt, e->sample_rate,
                                const_cast<AVChannelLayout*>(&ist.BlockLayout),
                                AVSampleFormat(ist.BlockFormat), ist.BlockRate, 0, nullptr) < 0 ||
        (ff::av_opt_set_int(swr, "filter_size", 16, 0),
         ff::av_opt_set_int(swr, "phase_shift", 10, 0),
         ff::av_opt_set_double(swr, "cutoff", 0.8, 0), ff::swr_init(swr) < 0)) {
        ff::swr_free(&swr);
        Raise(Fmt("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", ist.BlockChannels,
                  ist.BlockRate, e->ch_layout.nb_channels, e->sample_rate));
    }
    ost.Resampler.reset(swr);
    ost.ResamplerInRate = ist.BlockRate;
    ost.ResamplerInChannels = ist.BlockChannels;
    ost.ResamplerInFormat = ist.BlockFormat;
}

void TFFAudioPath::Output(TFFOutputStream& ost, TFFInputStream& ist) {
    AVCodecContext* e = ost.Encoder;
    const int eRate = e->sample_rate, eCh = e->ch_layout.nb_channels;
    const int dRate = ist.BlockRate, dCh = ist.BlockChannels;
    if (eRate <= 0 || dRate <= 0 || eCh <= 0 || dCh <= 0)
        return;
    if (eCh != dCh)
        ost.AudioResample = true;
    if (!ost.Resampler || ost.ResamplerInRate != dRate || ost.ResamplerInChannels != dCh ||
        ost.ResamplerInFormat != ist.BlockFormat)
        MakeResampler(ost, ist);

    const uint8_t* in = ist.Block.data();
    int64_t size = ist.BlockSize;
    const int frameBytes = ist.BlockSampleBytes() * dCh;
    const double ipts = double(ist.Pts - S.StartTime) / 1000000.0;
    const int64_t fifo = ff::av_audio_fifo_size(ost.Fifo.get());
    if (S.AudioSyncMethod == 0) {
        ost.SyncOpts = std::llrint(ipts * eRate) - fifo;
    } else {
        const double delta = ipts * eRate - double(ost.SyncOpts) - double(fifo);
        const double idelta = delta * dRate / eRate;
        int64_t byteDelta = int64_t(idelta) * frameBytes;
        if (std::fabs(delta) > 50) {
            if (ist.IsStart || std::fabs(delta) > S.AudioDriftThreshold * eRate) {
                if (byteDelta < 0) {
                    byteDelta = std::max(byteDelta, -size);
                    in -= byteDelta;
                    size += byteDelta;
                    if (S.Verbose > 2)
                        Log(TStageLog::Verbose,
                            QString::asprintf("discarding %d audio samples", int(-delta)));
                    ist.IsStart = false;
                    if (size <= 0)
                        return;
                } else {
                    ist.IsStart = false;
                    Padded.assign(size_t(byteDelta), 0);
                    Padded.insert(Padded.end(), in, in + size);
                    in = Padded.data();
                    size += byteDelta;
                    if (S.Verbose > 2)
                        Log(TStageLog::Verbose,
                            QString::asprintf("adding %d audio samples of silence", int(delta)));
                }
            } else if (S.AudioSyncMethod > 1) {
                const int comp = std::clamp(int(delta), -S.AudioSyncMethod, S.AudioSyncMethod);
                if (S.Verbose > 2)
                    Log(TStageLog::Verbose,
                        QString::asprintf("compensating audio timestamp drift:%f "
                                          "compensation:%d in:%d",
                                          delta, comp, eRate));
                ff::swr_set_compensation(ost.Resampler.get(), comp, eRate);
            }
        }
    }

    const int inSamples = int(size / frameBytes);
    const int maxOut =
        int(ff::av_rescale_rnd(ff::swr_get_delay(ost.Resampler.get(), dRate) + inSamples, eRate,
                               dRate, AV_ROUND_UP)) +
        S.AudioSyncMethod + 16;
    const int bytes = ff::av_samples_get_buffer_size(nullptr, eCh, maxOut, e->sample_fmt, 1);
    if (bytes < 0)
        Raise(std::string("Buffer sizes too large in do_audio_out"));
    if (ost.Work.size() < size_t(bytes))
        ost.Work.resize(size_t(bytes));
    std::vector<uint8_t*> planes(size_t(ff::av_sample_fmt_is_planar(e->sample_fmt) ? eCh : 1));
    int linesize = 0;
    ff::av_samples_fill_arrays(planes.data(), &linesize, ost.Work.data(), eCh, maxOut,
                               e->sample_fmt, 1);
    const int n = ff::swr_convert(ost.Resampler.get(), planes.data(), maxOut, &in, inSamples);
    if (n < 0) {
        if (S.ExitOnError)
            Raise(std::string("av_audio_convert() failed"));
        Log(TStageLog::Error, QStringLiteral("av_audio_convert() failed"));
        return;
    }
    if (n > 0)
        ClampFloatSamples(planes, eCh, n, e->sample_fmt);
    if (n > 0 &&
        ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(planes.data()), n) < n)
        Raise(std::string("av_fifo_realloc2() failed"));

    const int frameSize = e->frame_size;
    if (frameSize > 1) {
        while (ff::av_audio_fifo_size(ost.Fifo.get()) >= frameSize)
            EncodeFromFifo(ost, frameSize);
    } else if (ff::av_audio_fifo_size(ost.Fifo.get()) > 0) {
        EncodeFromFifo(ost, ff::av_audio_fifo_size(ost.Fifo.get()));
    }
}

void TFFAudioPath::EncodeFromFifo(TFFOutputStream& ost, int samples) {
    if (Handoff) {
        HandFromFifo(ost, samples);
        return;
    }
    AVCodecContext* e = ost.Encoder;
    AVFrame* f = ost.EncFrame.get();
    // One buffer of the largest frame so far is reused; the encoder may still hold a
    // reference to the previous frame's data, which make_writable resolves by copying.
    if (!f->buf[0] || f->nb_samples < samples || f->format != e->sample_fmt) {
        ff::av_frame_unref(f);
        f->nb_samples = std::max(samples, e->frame_size);
        f->format = e->sample_fmt;
        f->sample_rate = e->sample_rate;
        if (ff::av_channel_layout_copy(&f->ch_layout, &e->ch_layout) < 0 ||
            ff::av_frame_get_buffer(f, 0) < 0)
            Raise(std::string("Out of memory in do_audio_out"));
    } else if (ff::av_frame_make_writable(f) < 0) {
        Raise(std::string("Out of memory in do_audio_out"));
    }
    const int capacity = f->nb_samples;
    TakeFromFifo(ost, f, samples);
    const int err = ff::avcodec_send_frame(e, f);
    f->nb_samples = capacity;
    if (err < 0)
        Raise(std::string("Audio encoding failed"));
    TFFAudioEncode::Drain(ost, T.AudioBytes, Write);
}

void TFFAudioPath::HandFromFifo(TFFOutputStream& ost, int samples) {
    AVCodecContext* e = ost.Encoder;
    FramePtr frame = NewFrame();
    AVFrame* f = frame.get();
    // The same buffer size as a frame reused here: a short last frame keeps a full frame's room.
    f->nb_samples = std::max(samples, e->frame_size);
    f->format = e->sample_fmt;
    f->sample_rate = e->sample_rate;
    if (ff::av_channel_layout_copy(&f->ch_layout, &e->ch_layout) < 0 ||
        ff::av_frame_get_buffer(f, 0) < 0)
        Raise(std::string("Out of memory in do_audio_out"));
    TakeFromFifo(ost, f, samples);
    Handoff->Encode(ost, std::move(frame));
}

void TFFAudioPath::Flush(TFFOutputStream& ost) {
    if (!ost.Encoder || !ost.EncoderOpen)
        return;
    AVCodecContext* e = ost.Encoder;
    const int left = ost.Fifo ? ff::av_audio_fifo_size(ost.Fifo.get()) : 0;
    if (left > 0) {
        const bool shortOk = e->frame_size <= 1 ||
                             (e->codec->capabilities &
                              (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
        int samples = left;
        if (!shortOk) {
            // Pad the last frame with silence to the encoder's frame size.
            const int pad = e->frame_size - left;
            const int bytes = ff::av_samples_get_buffer_size(nullptr, e->ch_layout.nb_channels, pad,
                                                             e->sample_fmt, 1);
            if (bytes < 0)
                Raise(std::string("frame_bytes invalid."));
            std::vector<uint8_t> silence(static_cast<size_t>(bytes), 0);
            std::vector<uint8_t*> planes(
                size_t(ff::av_sample_fmt_is_planar(e->sample_fmt) ? e->ch_layout.nb_channels : 1));
            int linesize = 0;
            ff::av_samples_fill_arrays(planes.data(), &linesize, silence.data(),
                                       e->ch_layout.nb_channels, pad, e->sample_fmt, 1);
            ff::av_samples_set_silence(planes.data(), 0, pad, e->ch_layout.nb_channels,
                                       e->sample_fmt);
            ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(planes.data()), pad);
            samples = e->frame_size;
        }
        EncodeFromFifo(ost, samples);
    }
    if (Handoff)
        Handoff->EndOfStream(ost);
    else
        TFFAudioEncode::End(ost, T.AudioBytes, Write);
}
