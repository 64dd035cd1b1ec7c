#include "media/mp3/FFMP3FrameEncoder.h"

#include "media/FFLoad.h"

#include <algorithm>

namespace {

QString AvError(const char* what, int ret) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (ff::av_strerror != nullptr)
        ff::av_strerror(ret, text, sizeof text);
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(text));
}

} // namespace

FFMP3FrameEncoder::~FFMP3FrameEncoder() {
    if (FContext) {
        auto lock = LockCodecs();
        FContext.reset();
    }
}

bool FFMP3FrameEncoder::Open(int rate, int channels, int kbps, bool jointStereo, QString& error) {
    const AVCodec* codec = ff::avcodec_find_encoder_by_name("libmp3lame");
    if (codec == nullptr) {
        error = QStringLiteral("The libmp3lame encoder is not available.");
        return false;
    }
    auto lock = LockCodecs();
    FContext.reset(ff::avcodec_alloc_context3(codec));
    FFrame = MakeFrame();
    FPacket = MakePacket();
    if (!FContext || !FFrame || !FPacket) {
        error = QStringLiteral("Out of memory.");
        return false;
    }
    AVCodecContext* c = FContext.get();
    c->sample_rate = rate;
    c->sample_fmt = AV_SAMPLE_FMT_S16P;
    c->bit_rate = int64_t(kbps) * 1000;
    c->time_base = AVRational{1, rate};
    ff::av_channel_layout_default(&c->ch_layout, channels);
    ff::av_opt_set_int(c->priv_data, "reservoir", 0, 0);
    ff::av_opt_set_int(c->priv_data, "joint_stereo", jointStereo ? 1 : 0, 0);
    const int ret = ff::avcodec_open2(c, codec, nullptr);
    if (ret < 0) {
        error = AvError("The MP3 encoder cannot be opened", ret);
        FContext.reset();
        return false;
    }
    FFrame->format = c->sample_fmt;
    FFrame->sample_rate = rate;
    FFrame->nb_samples = c->frame_size;
    ff::av_channel_layout_copy(&FFrame->ch_layout, &c->ch_layout);
    if (ff::av_frame_get_buffer(FFrame.get(), 0) < 0) {
        error = QStringLiteral("Out of memory.");
        FContext.reset();
        return false;
    }
    FFill = 0;
    FPts = 0;
    return true;
}

int FFMP3FrameEncoder::Lead() const {
    return FContext ? FContext->initial_padding : 0;
}

int FFMP3FrameEncoder::SamplesPerFrame() const {
    return FContext ? FContext->frame_size : 0;
}

bool FFMP3FrameEncoder::Send(AVFrame* frame, std::vector<TFrame>& out, QString& error) {
    int ret = ff::avcodec_send_frame(FContext.get(), frame);
    if (ret < 0) {
        error = AvError("The MP3 encoder failed", ret);
        return false;
    }
    while ((ret = ff::avcodec_receive_packet(FContext.get(), FPacket.get())) >= 0) {
        out.emplace_back(FPacket->data, FPacket->data + FPacket->size);
        ff::av_packet_unref(FPacket.get());
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        error = AvError("The MP3 encoder failed", ret);
        return false;
    }
    return true;
}

bool FFMP3FrameEncoder::Encode(const int16_t* samples, int64_t frames, std::vector<TFrame>& out,
                               QString& error) {
    if (!FContext) {
        error = QStringLiteral("The MP3 encoder is not open.");
        return false;
    }
    const int channels = FContext->ch_layout.nb_channels;
    const int size = FContext->frame_size;
    while (frames > 0) {
        if (ff::av_frame_make_writable(FFrame.get()) < 0) {
            error = QStringLiteral("Out of memory.");
            return false;
        }
        const int take = int(std::min<int64_t>(frames, size - FFill));
        for (int ch = 0; ch < channels; ++ch) {
            auto* plane = reinterpret_cast<int16_t*>(FFrame->extended_data[ch]) + FFill;
            for (int i = 0; i < take; ++i)
                plane[i] = samples[int64_t(i) * channels + ch];
        }
        samples += int64_t(take) * channels;
        frames -= take;
        FFill += take;
        if (FFill == size) {
            FFrame->pts = FPts;
            FPts += size;
            FFill = 0;
            if (!Send(FFrame.get(), out, error))
                return false;
        }
    }
    return true;
}

bool FFMP3FrameEncoder::Finish(std::vector<TFrame>& out, QString& error) {
    if (!FContext) {
        error = QStringLiteral("The MP3 encoder is not open.");
        return false;
    }
    if (FFill > 0) {
        // The last block is short: silence after it, which a cut's padding trims away.
        if (ff::av_frame_make_writable(FFrame.get()) < 0) {
            error = QStringLiteral("Out of memory.");
            return false;
        }
        for (int ch = 0; ch < FContext->ch_layout.nb_channels; ++ch)
            std::fill_n(reinterpret_cast<int16_t*>(FFrame->extended_data[ch]) + FFill,
                        FContext->frame_size - FFill, int16_t(0));
        FFrame->pts = FPts;
        FFill = 0;
        if (!Send(FFrame.get(), out, error))
            return false;
    }
    return Send(nullptr, out, error);
}
