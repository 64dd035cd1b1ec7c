// Positioning a single MP3 input near an output-side start time, with timestamps taken from our
// own frame index so that what is decoded is the same as when the file is read from its start.

#include "media/encode/input/FFInputFile.h"
#include "media/encode/loop/FFLoop.h"
#include "media/encode/input/FFMP3FrameIndex.h"

#include <algorithm>
#include <cstring>

using namespace ffstage;

namespace {
constexpr AVRational MicroBase{1, 1000000};
// Packets between the position and the preroll are read and skipped as usual, so a rounding
// slip in the position can never drop a packet the decoder needs.
constexpr int64_t PositionMargin = 500000; // µs
// The demuxer trims the encoder padding of the last frames by its own timestamps, which are
// unknown after positioning; a range this close to the end of the frames reads from the start.
constexpr int64_t EndMargin = 3000000; // µs
} // namespace

void TFFLoop::SeekNearStart() {
    Restamp = false;
    Pending.reset();
    if (!SkipBeforePreroll || Join || In.size() != 1 || S.StartTime <= DecodePreroll ||
        S.RecordingTime == ffopt::NoTimeLimit || T.Inputs.empty() || T.FirstOfInput.empty())
        return;
    AVFormatContext* ic = In[0].Context.get();
    if (!ic || !ic->iformat || std::strcmp(ic->iformat->name, "mp3") != 0 || ic->nb_streams != 1 ||
        !ic->pb || !(ic->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return;
    const TFFInputStream& ist = T.Inputs[0];
    const double scale = In[0].TsScale[0];
    if (ist.Discard || !ist.DecodingNeeded || (scale > 0 && scale != 1.0))
        return;

    // The first packet tells where the demuxer's frames start (after the tags and the VBR
    // header frame) and which timestamp it gives them; it is kept for the loop if the input is
    // not positioned.
    PacketPtr first = NewPacket();
    if (ff::av_read_frame(ic, first.get()) < 0)
        return;
    Pending = std::move(first);
    const AVPacket* p = Pending.get();
    if (p->stream_index != 0 || p->pos < 0 || p->dts == AV_NOPTS_VALUE || p->duration <= 0 ||
        (p->pts != AV_NOPTS_VALUE && p->pts != p->dts))
        return;
    TMP3FrameIndex index;
    if (!index.Build(TFFInputOpener::FileName(In[0]), p->pos))
        return;
    const AVRational tb = ist.Stream->time_base;
    if (index.SampleRate() != ist.Stream->codecpar->sample_rate ||
        ff::av_rescale_q(index.SamplesPerFrame(), AVRational{1, index.SampleRate()}, tb) !=
            p->duration)
        return;

    const int64_t dur = p->duration;
    const int64_t dts0 = p->dts;
    const std::vector<int64_t>& pos = index.Positions();
    // Stream time of the preroll's beginning, and the last frame ending before it with margin.
    const int64_t limit = ff::av_rescale_q(
        S.StartTime - DecodePreroll - PositionMargin - In[0].TsOffset, MicroBase, tb);
    const int64_t frames = (limit - dts0) / dur - 1; // frames wholly before the limit
    if (frames <= 0 || size_t(frames) >= pos.size())
        return;
    const int64_t rangeEnd =
        ff::av_rescale_q(S.StartTime + S.RecordingTime + EndMargin - In[0].TsOffset, MicroBase, tb);
    if (rangeEnd > dts0 + int64_t(pos.size()) * dur)
        return;

    const int err = ff::av_seek_frame(ic, -1, pos[size_t(frames)], AVSEEK_FLAG_BYTE);
    if (err < 0)
        Raise("could not position the input: " + LibErrorText(err));
    Pending.reset();
    Restamp = true;
    FramePos = pos;
    FirstDts = dts0;
    FrameDuration = dur;
    NextFrame = size_t(frames);
    NextDts = dts0 + frames * dur;
}

int TFFLoop::ReadPacket(int file, AVPacket* pkt) {
    if (file == 0 && Pending) {
        PacketPtr kept = std::move(Pending);
        const int err = ff::av_packet_ref(pkt, kept.get());
        if (err < 0)
            Raise(std::string("Not enough memory"));
        return 0;
    }
    const int err = ff::av_read_frame(In[size_t(file)].Context.get(), pkt);
    if (err >= 0 && file == 0 && Restamp)
        RestampPacket(pkt);
    return err;
}

void TFFLoop::RestampPacket(AVPacket* pkt) {
    // The demuxer counts its timestamps from the position; ours count from the first frame.
    if (!(NextFrame < FramePos.size() && FramePos[NextFrame] == pkt->pos)) {
        const auto it = std::lower_bound(FramePos.begin(), FramePos.end(), pkt->pos);
        if (it != FramePos.end() && *it == pkt->pos)
            NextFrame = size_t(it - FramePos.begin());
        else
            NextFrame = FramePos.size(); // unindexed: continue from the previous packet
    }
    if (NextFrame < FramePos.size()) {
        NextDts = FirstDts + int64_t(NextFrame) * FrameDuration;
        ++NextFrame;
    }
    pkt->dts = pkt->pts = NextDts;
    NextDts += pkt->duration > 0 ? pkt->duration : FrameDuration;
}
