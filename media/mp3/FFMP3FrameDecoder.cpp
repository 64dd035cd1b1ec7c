#include "media/mp3/FFMP3FrameDecoder.h"

#include "media/FFLoad.h"

#include <algorithm>
#include <cmath>
#include <cstring>

FFMP3FrameDecoder::~FFMP3FrameDecoder() {
    if (FContext) {
        auto lock = LockCodecs();
        FContext.reset();
    }
}

bool FFMP3FrameDecoder::Open(QString& error) {
    // The float decoder: what the engine and the ffmpeg tool decode MP3 with.
    const AVCodec* codec = ff::avcodec_find_decoder_by_name("mp3float");
    if (codec == nullptr)
        codec = ff::avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (codec == nullptr) {
        error = QStringLiteral("No MP3 decoder is available.");
        return false;
    }
    auto lock = LockCodecs();
    FContext.reset(ff::avcodec_alloc_context3(codec));
    FPacket = MakePacket();
    FFrame = MakeFrame();
    if (!FContext || !FPacket || !FFrame || ff::avcodec_open2(FContext.get(), codec, nullptr) < 0) {
        FContext.reset();
        error = QStringLiteral("The MP3 decoder cannot be opened.");
        return false;
    }
    return true;
}

namespace {

int16_t ToS16(float v) {
    return int16_t(std::clamp(std::lrintf(v * 32768.0f), -32768L, 32767L));
}

} // namespace

bool FFMP3FrameDecoder::Decode(const std::vector<TFrame>& frames, int spf, int channels,
                               std::vector<int16_t>& out, QString& error) {
    if (!FContext) {
        error = QStringLiteral("The MP3 decoder is not open.");
        return false;
    }
    for (const TFrame& f : frames) {
        const size_t at = out.size();
        out.resize(at + size_t(spf) * size_t(channels), 0);
        if (ff::av_new_packet(FPacket.get(), int(f.size())) < 0) {
            error = QStringLiteral("Out of memory.");
            return false;
        }
        std::memcpy(FPacket->data, f.data(), f.size());
        const int sent = ff::avcodec_send_packet(FContext.get(), FPacket.get());
        ff::av_packet_unref(FPacket.get());
        if (sent < 0)
            continue; // silence stands for it
        while (ff::avcodec_receive_frame(FContext.get(), FFrame.get()) >= 0) {
            const int n = std::min(FFrame->nb_samples, spf);
            const int have = std::min(FFrame->ch_layout.nb_channels, channels);
            const bool planar = FFrame->format == AV_SAMPLE_FMT_FLTP;
            const bool flt = planar || FFrame->format == AV_SAMPLE_FMT_FLT;
            for (int c = 0; c < channels && flt; ++c)
                for (int i = 0; i < n; ++i) {
                    const int src = std::min(c, have - 1);
                    const float v =
                        planar ? reinterpret_cast<const float*>(FFrame->extended_data[src])[i]
                               : reinterpret_cast<const float*>(
                                     FFrame->extended_data[0])[i * FFrame->ch_layout.nb_channels + src];
                    out[at + size_t(i) * size_t(channels) + size_t(c)] = ToS16(v);
                }
            ff::av_frame_unref(FFrame.get());
        }
    }
    return true;
}
