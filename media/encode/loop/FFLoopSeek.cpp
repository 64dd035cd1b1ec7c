// Positioning a single MP3 input near an output-side start time, with timestamps taken from our
// own frame index so that what is decoded is the same as when the file is read from its start.

#include "media/encode/input/FFInputFile.h"
#include "media/encode/loop/FFLoop.h"
#include "media/mp3/FFMP3FrameIndex.h"
#include "media/mp3/FFSharedFrameIndex.h"

#include <algorithm>
#include <cstring>

using namespace ffstage;

namespace {
constexpr AVRational MicroBase{1, 1000000};
// Packets between the position and the preroll are read and skipped as usual, so a rounding
// slip in the position can never drop a packet the decoder needs.
constexpr int64_t PositionMargin = 500000; // µs
} // namespace

void TFFLoop::SeekNearStart() {
    Restamp = false;
    Pending.clear();
    PendingNext = 0;
    if (!SkipBeforePreroll || Join || In.size() != 1 || S.StartTime <= DecodePreroll ||
        T.Inputs.empty() || T.FirstOfInput.empty())
        return;
    AVFormatContext* ic = In[0].Context.get();
    if (!ic || !ic->iformat || std::strcmp(ic->iformat->name, "mp3") != 0 || !ic->pb ||
        !(ic->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return;
    // One audio stream; a cover picture beside it is a single packet that does not move.
    AudioIndex = -1;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (ic->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)
            continue;
        if (AudioIndex >= 0)
            return;
        AudioIndex = int(i);
    }
    if (AudioIndex < 0 || size_t(AudioIndex) >= T.Inputs.size())
        return;
    const TFFInputStream& ist = T.Inputs[size_t(AudioIndex)];
    const double scale = In[0].TsScale[size_t(AudioIndex)];
    if (ist.Discard || !ist.DecodingNeeded || (scale > 0 && scale != 1.0))
        return;

    // The first audio packet tells where the demuxer's frames start (after the tags and the VBR
    // header frame) and which timestamp it gives them. What was read is kept for the loop if
    // the input is not positioned; positioning queues the cover picture again by itself.
    const AVPacket* p = nullptr;
    for (int tries = 0; tries < 16 && !p; ++tries) {
        PacketPtr packet = NewPacket();
        if (ff::av_read_frame(ic, packet.get()) < 0)
            return;
        Pending.push_back(std::move(packet));
        if (Pending.back()->stream_index == AudioIndex)
            p = Pending.back().get();
    }
    if (!p || p->pos < 0 || p->dts == AV_NOPTS_VALUE || p->duration <= 0 ||
        (p->pts != AV_NOPTS_VALUE && p->pts != p->dts))
        return;
    const AVRational tb = ist.Stream->time_base;
    const int64_t dur = p->duration;
    const int64_t dts0 = p->dts;
    // Stream time of the preroll's beginning, and the last frame ending before it with margin.
    const int64_t limit = ff::av_rescale_q(
        S.StartTime - DecodePreroll - PositionMargin - In[0].TsOffset, MicroBase, tb);
    const int64_t frames = (limit - dts0) / dur - 1; // frames wholly before the limit
    if (frames <= 0)
        return;
    std::shared_ptr<const TMP3FrameIndex> index;
    if (In[0].FrameIndex) {
        index = In[0].FrameIndex->Get(TFFInputOpener::FileName(In[0]), p->pos);
    } else {
        // Only the frames from the position on are needed: near the end of a long file that
        // spares walking all the frames before it.
        auto own = std::make_shared<TMP3FrameIndex>();
        if (own->Build(TFFInputOpener::FileName(In[0]), p->pos, frames))
            index = std::move(own);
    }
    if (!index)
        return;
    if (index->SampleRate() != ist.Stream->codecpar->sample_rate ||
        ff::av_rescale_q(index->SamplesPerFrame(), AVRational{1, index->SampleRate()}, tb) != dur)
        return;

    const std::vector<int64_t>& pos = index->Positions();
    if (frames < index->FirstNumber() || frames >= index->FrameCount())
        return;
    // Every packet up to the range's end must get its timestamp from the index: a range that
    // runs past the indexed frames (a walk stopped by damage) reads from the start.
    const int64_t indexedEnd = dts0 + index->FrameCount() * dur;
    if (S.RecordingTime == ffopt::NoTimeLimit
            ? !index->ReachedEnd()
            : ff::av_rescale_q(S.StartTime + S.RecordingTime - In[0].TsOffset, MicroBase, tb) >
                      indexedEnd &&
                  !index->ReachedEnd())
        return;

    const size_t at = size_t(frames - index->FirstNumber());
    const int err = ff::av_seek_frame(ic, -1, pos[at], AVSEEK_FLAG_BYTE);
    if (err < 0)
        Raise("could not position the input: " + LibErrorText(err));
    Pending.clear();
    Restamp = true;
    Index = std::move(index);
    FirstDts = dts0;
    FrameDuration = dur;
    SampleRate = ist.Stream->codecpar->sample_rate;
    NextFrame = at;
    NextDts = dts0 + frames * dur;
}

int TFFLoop::ReadPacket(int file, AVPacket* pkt) {
    if (file == 0 && PendingNext < Pending.size()) {
        PacketPtr kept = std::move(Pending[PendingNext++]);
        const int err = ff::av_packet_ref(pkt, kept.get());
        if (err < 0)
            Raise(std::string("Not enough memory"));
        return 0;
    }
    const int err = ff::av_read_frame(In[size_t(file)].Context.get(), pkt);
    if (err >= 0 && file == 0 && Restamp && pkt->stream_index == AudioIndex)
        RestampPacket(pkt);
    return err;
}

void TFFLoop::RestampPacket(AVPacket* pkt) {
    // The demuxer counts its timestamps from the position; ours count from the first frame.
    const std::vector<int64_t>& pos = Index->Positions();
    if (!(NextFrame < pos.size() && pos[NextFrame] == pkt->pos)) {
        const auto it = std::lower_bound(pos.begin(), pos.end(), pkt->pos);
        if (it != pos.end() && *it == pkt->pos)
            NextFrame = size_t(it - pos.begin());
        else
            NextFrame = pos.size(); // unindexed: continue from the previous packet
    }
    if (NextFrame < pos.size()) {
        NextDts = FirstDts + (Index->FirstNumber() + int64_t(NextFrame)) * FrameDuration;
        ++NextFrame;
    }
    pkt->dts = pkt->pts = NextDts;
    NextDts += pkt->duration > 0 ? pkt->duration : FrameDuration;
    DropEndPadding(pkt);
}

void TFFLoop::DropEndPadding(AVPacket* pkt) {
    const int64_t padding = Index->PaddingStart();
    if (padding < 0 || pkt->duration <= 0 || SampleRate <= 0)
        return;
    const AVRational tb = T.Inputs[size_t(AudioIndex)].Stream->time_base;
    const AVRational perSample{1, SampleRate};
    const int64_t first = ff::av_rescale_q(pkt->pts - FirstDts, tb, perSample);
    const int64_t count = ff::av_rescale_q(pkt->duration, tb, perSample);
    const int64_t end = first + count;
    if (end < padding || first >= Index->TaggedSamples())
        return;
    const uint32_t drop = uint32_t(std::min(end - padding, count));
    // The side data's layout: samples to skip at the start, samples to drop at the end (both
    // 32-bit little-endian), then a reason byte for each. A start skip the demuxer set is kept.
    size_t size = 0;
    uint8_t* data = ff::av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (data == nullptr || size < 10)
        data = ff::av_packet_new_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, 10);
    if (data == nullptr)
        Raise(std::string("Not enough memory"));
    data[4] = uint8_t(drop);
    data[5] = uint8_t(drop >> 8);
    data[6] = uint8_t(drop >> 16);
    data[7] = uint8_t(drop >> 24);
}
