#include "media/encode/audio/FFAudioEncode.h"

using namespace ffstage;

void TFFAudioEncode::Send(TFFOutputStream& ost, AVFrame* frame, int64_t& audioBytes,
                          const TWrite& write) {
    if (ff::avcodec_send_frame(ost.Encoder, frame) < 0)
        Raise(std::string("Audio encoding failed"));
    Drain(ost, audioBytes, write);
}

void TFFAudioEncode::End(TFFOutputStream& ost, int64_t& audioBytes, const TWrite& write) {
    if (ff::avcodec_send_frame(ost.Encoder, nullptr) < 0)
        return; // already flushed
    Drain(ost, audioBytes, write);
}

void TFFAudioEncode::Drain(TFFOutputStream& ost, int64_t& audioBytes, const TWrite& write) {
    AVCodecContext* e = ost.Encoder;
    AVPacket* pkt = ost.EncPacket.get();
    for (;;) {
        const int err = ff::avcodec_receive_packet(e, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        if (err < 0)
            Raise(std::string("Audio encoding failed"));
        pkt->stream_index = ost.Stream->index;
        ff::av_packet_rescale_ts(pkt, e->time_base, ost.Stream->time_base);
        pkt->flags |= AV_PKT_FLAG_KEY;
        audioBytes += pkt->size;
        write(ost, pkt);
    }
}
