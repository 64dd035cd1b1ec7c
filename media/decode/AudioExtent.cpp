#include "media/decode/AudioExtent.h"

#include "media/AVPtr.h"
#include "media/FFEntryPoints.h"
#include "media/FFLoad.h"
#include "media/UnicodeProtocol.h"
#include "media/mp3/FFMP3FrameIndex.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

// Samples the decoder drops at the end of this packet (the encoder's padding), from the side
// data the demuxer attaches to the last packets of a file with a gapless header.
int64_t PaddingSamples(const AVPacket* packet) {
    for (int i = 0; i < packet->side_data_elems; ++i) {
        const AVPacketSideData& side = packet->side_data[i];
        if (side.type == AV_PKT_DATA_SKIP_SAMPLES && side.size >= 8)
            return int64_t(AV_RL32(side.data + 4));
    }
    return 0;
}

// The end of an MP3's audio from its frame headers, given its first audio packet: the same end
// reading every packet finds, at a fraction of the cost, because the headers are all that is
// read and an encoder's info tag lets the walk begin near the end. False when the frames do not
// run to the end of the file (cut short, damaged): then only the packets can tell.
bool EndFromFrames(AVFormatContext* ic, const QString& fileName, const AVPacket* first,
                   int64_t origin, TAudioExtent& extent) {
    if (!ic->iformat || std::strcmp(ic->iformat->name, "mp3") != 0 || first->pos < 0 ||
        first->dts == AV_NOPTS_VALUE || first->duration <= 0)
        return false;
    const AVStream* stream = ic->streams[first->stream_index];
    const int rate = stream->codecpar->sample_rate;
    TMP3FrameIndex index;
    if (!index.Build(fileName, first->pos, INT64_MAX) || !index.ReachedEnd() ||
        index.SampleRate() != rate ||
        ff::av_rescale_q(index.SamplesPerFrame(), AVRational{1, rate}, stream->time_base) !=
            first->duration)
        return false;
    const AVRational base = stream->time_base;
    const int64_t end =
        first->dts + ff::av_rescale_q(index.AudioEndSample(), AVRational{1, rate}, base);
    extent.EndUs =
        std::max(extent.EndUs, ff::av_rescale_q(end - origin, base, AVRational{1, 1000000}));
    extent.HasAudio = true;
    extent.ReachedEnd = true;
    return true;
}

// Fills extent from the open input ic.
void Scan(AVFormatContext* ic, const QString& fileName, int64_t limitUs, bool fromFrameHeaders,
          TAudioExtent& extent) {
    int found;
    {
        const auto codecs = LockCodecs();
        found = ff::avformat_find_stream_info(ic, nullptr);
    }
    int index = -1;
    for (unsigned i = 0; found >= 0 && i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (index < 0 && par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 &&
            par->ch_layout.nb_channels > 0)
            index = int(i);
        else
            ic->streams[i]->discard = AVDISCARD_ALL;
    }
    AVPacketPtr packet = MakePacket();
    if (index < 0 || !packet)
        return;

    const AVStream* stream = ic->streams[index];
    const AVRational base = stream->time_base;
    const AVRational microseconds{1, 1000000};
    const int rate = stream->codecpar->sample_rate;
    // The stream's own start in its own ticks: the file's start is rounded to whole µs, which
    // would put the end of a whole number of seconds a microsecond off.
    const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time
                           : ic->start_time != AV_NOPTS_VALUE
                               ? ff::av_rescale_q(ic->start_time, microseconds, base)
                               : 0;
    bool triedFrames = !fromFrameHeaders;
    for (;;) {
        // A read error ends the audio there as surely as the end of the file does: nothing after
        // it can be cut either.
        if (ff::av_read_frame(ic, packet.get()) < 0) {
            extent.ReachedEnd = true;
            return;
        }
        const AVPacket* p = packet.get();
        const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (p->stream_index == index && ts != AV_NOPTS_VALUE && p->duration > 0) {
            const int64_t end = ts + p->duration -
                                ff::av_rescale_q(PaddingSamples(p), AVRational{1, rate}, base);
            extent.EndUs =
                std::max(extent.EndUs, ff::av_rescale_q(end - origin, base, microseconds));
            extent.HasAudio = true;
        }
        if (extent.HasAudio && extent.EndUs >= limitUs)
            return;
        if (p->stream_index == index && !triedFrames) {
            triedFrames = true;
            if (EndFromFrames(ic, fileName, p, origin, extent))
                return;
        }
        ff::av_packet_unref(packet.get());
    }
}

} // namespace

TAudioExtent ScanAudioExtent(const QString& fileName, int64_t limitUs, bool fromFrameHeaders) {
    TAudioExtent extent;
    AVInputContextPtr context(ff::avformat_alloc_context());
    if (!context) {
        extent.Error = AVERROR(ENOMEM);
        return extent;
    }
    // The opener frees the context when it fails.
    extent.Error = OpenInputFile(InOut(context), fileName, nullptr, nullptr);
    if (extent.Error < 0)
        return extent;
    extent.Error = 0;
    Scan(context.get(), fileName, limitUs, fromFrameHeaders, extent);
    // Stream probing may have left decoders open; they are closed under the codec lock.
    const auto codecs = LockCodecs();
    context.reset();
    return extent;
}
