#include "media/encode/loop/FFLoop.h"

#include "media/encode/audio/FFEncoderThread.h"
#include "media/encode/prepare/FFPrepare.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>

using namespace ffstage;

namespace {
constexpr AVRational MicroBase{1, 1000000};
constexpr int NoFrameLimit = 2147483647; // the frame limits' default

int MaxFrames(const TFFOptionState& s, AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return s.MaxVideoFrames;
    case AVMEDIA_TYPE_AUDIO:
        return s.MaxAudioFrames;
    case AVMEDIA_TYPE_SUBTITLE:
        return s.MaxSubtitleFrames;
    default:
        return s.MaxDataFrames;
    }
}

} // namespace

void TFFLoop::Transcode() {
    TFFPrepareVideo video;
    video.Path = &Video;
    video.HookAssigned = Callbacks.Video.InputHook || Callbacks.Video.OutputHook;
    video.FrameHooks = Callbacks.FrameHooks && !Callbacks.FrameHooks->Empty();
    if (Callbacks.Preview) {
        const int flags = Callbacks.Preview->Flags();
        video.Preview = ((flags & PreviewToBitmap) && Callbacks.Video.PreviewBitmap) ||
                        ((flags & PreviewToWindow) && Callbacks.Video.PreviewWindow);
    }
    TFFPrepare(S, C, In, InputCodecs, Out, OutX, Join, bool(Callbacks.AudioHook), T, video).Run();

    Progress.Start();
    JoinInput = 0;
    Eof.assign(In.size(), false);
    NoPacket.assign(In.size(), false);
    StreamDts.assign(T.Inputs.size(), AV_NOPTS_VALUE);
    StreamNextDts.assign(T.Inputs.size(), AV_NOPTS_VALUE);
    PacketPtr pkt = NewPacket();
    SeekNearStart();

    // Declared before the guard, so that a failure on this thread first unhooks the thread and
    // then aborts and joins it, before the codecs it uses are closed.
    std::unique_ptr<TFFEncoderThread> encoder;
    struct TUnhook {
        TFFLoop& Loop;
        ~TUnhook() {
            Loop.Handoff = nullptr;
            Loop.Audio.SetEncoderThread(nullptr);
            Loop.Progress.SetPublishedSize(nullptr);
        }
    } unhook{*this};
    if (MayEncodeOnOwnThread()) {
        EncodedPackets = 0;
        WrittenSize = TFFOutputExtra::Size(Out.front());
        try {
            encoder = std::make_unique<TFFEncoderThread>(
                [this](TFFOutputStream& ost, AVPacket* p) { WriteOnEncoderThread(ost, p); });
        } catch (const std::system_error&) {
            // No thread to be had (a process or user limit): the run does it all itself.
        }
    }
    if (encoder) {
        Handoff = encoder.get();
        UsedThread = true;
        Audio.SetEncoderThread(Handoff);
        Progress.SetPublishedSize(&WrittenSize);
    }

    while (!StopFlag.load(std::memory_order_relaxed)) {
        const int file = ChooseInput();
        if (file < 0) {
            bool any = false;
            for (size_t i = 0; i < NoPacket.size(); ++i)
                any = any || NoPacket[i];
            if (any && !Join) {
                NoPacket.assign(In.size(), false);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            break;
        }
        if (S.FileSizeLimit && !Out.empty() && TFFOutputExtra::Size(Out.front()) >= S.FileSizeLimit)
            break;

        AVFormatContext* ic = In[size_t(file)].Context.get();
        const int err = ReadPacket(file, pkt.get());
        if (err == AVERROR(EAGAIN)) {
            NoPacket[size_t(file)] = true;
            continue;
        }
        if (err < 0) {
            if (!HandleEndOfInput(file))
                break;
            continue;
        }
        NoPacket.assign(In.size(), false);
        LastFile = file;
        if (S.DoDump)
            ff::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), S.DoHexDump,
                                 ic->streams[pkt->stream_index]);

        const int first = T.FirstOfInput[size_t(file)];
        const int count =
            (size_t(file) + 1 < T.FirstOfInput.size() ? T.FirstOfInput[size_t(file) + 1]
                                                      : int(T.Inputs.size())) -
            first;
        // Streams that appeared after opening, and streams no output uses, are dropped.
        if (pkt->stream_index >= count || T.Inputs[size_t(first + pkt->stream_index)].Discard) {
            ff::av_packet_unref(pkt.get());
            continue;
        }
        const int index = first + pkt->stream_index;
        TFFInputStream& ist = T.Inputs[size_t(index)];
        AdjustTimestamps(ist, pkt.get());

        if (S.RecordingTime != ffopt::NoTimeLimit && pkt->pts != AV_NOPTS_VALUE &&
            ff::av_compare_ts(pkt->pts, ist.Stream->time_base, S.RecordingTime + S.StartTime,
                              MicroBase) >= 0) {
            ist.PastRecordingTime = true;
            ff::av_packet_unref(pkt.get());
            continue;
        }
        if (!OutputPacket(index, pkt.get())) {
            const std::string msg =
                Fmt("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                    MediaTypeText(ist.Stream->codecpar->codec_type));
            ff::av_packet_unref(pkt.get());
            if (S.ExitOnError)
                Raise(msg);
            if (S.Verbose >= 0)
                Log(TStageLog::Verbose, QString::fromLocal8Bit(msg.c_str()));
            continue;
        }
        ff::av_packet_unref(pkt.get());
        Progress.Tick(Join ? JoinInput : LastFile);
    }

    for (size_t i = 0; i < T.Inputs.size(); ++i)
        if (T.Inputs[i].DecodingNeeded && !T.Inputs[i].Flushed)
            FlushInputStream(int(i));
    if (encoder) {
        encoder->Finish();
        T.AudioBytes += encoder->AudioBytes();
        OutX.front().Packets += EncodedPackets;
        Handoff = nullptr;
        Audio.SetEncoderThread(nullptr);
        Progress.SetPublishedSize(nullptr);
    }
    for (const TOutputFile& out : Out) {
        const int err = ff::av_write_trailer(out.Context.get());
        if (out.Context->pb && out.Context->pb->error < 0)
            Raise("av_interleaved_write_frame(): " + FileErrorText(out.Context->pb->error));
        if (err < 0)
            Raise("av_write_trailer(): " + LibErrorText(err));
    }
    Progress.Final();
    CheckRecordingTimeReached();
}

void TFFLoop::CheckRecordingTimeReached() const {
    if (!S.RequireRecordingTime || S.RecordingTime == ffopt::NoTimeLimit || S.RecordingTime <= 0 ||
        StopFlag.load(std::memory_order_relaxed))
        return;
    // A source that ends before its header says (a truncated download) would otherwise give a
    // silent or clipped file reported as done. Up to a second short is the encoder's padding and
    // frame rounding; half the range for very short ones.
    const int64_t tolerance = std::min<int64_t>(1000000, S.RecordingTime / 2);
    const double reached = Progress.OutputTime();
    if (int64_t(reached * 1000000) < S.RecordingTime - tolerance)
        Raise(Fmt("The source file ends before the range does: only %.1f s of the %g s asked "
                  "could be cut.",
                  reached, double(S.RecordingTime) / 1000000));
}

bool TFFLoop::MayEncodeOnOwnThread() const {
    if (!EncodeOnOwnThread || Join || Out.size() != 1 || S.FileSizeLimit)
        return false;
    bool audio = false;
    for (const TFFOutputStream& ost : T.Outputs) {
        // A frame limit is checked against what was written, which the encoder thread would
        // report late.
        if (MaxFrames(S, ost.Stream->codecpar->codec_type) != NoFrameLimit)
            return false;
        if (ost.Index >= ffopt::MaxStreams ||
            !Out.front().BitstreamFilters[size_t(ost.Index)].empty())
            return false;
        if (ost.Copy)
            continue;
        if (!ost.EncodingNeeded || !ost.EncoderOpen || !ost.Encoder ||
            ost.Encoder->codec_type != AVMEDIA_TYPE_AUDIO || ost.Video)
            return false;
        audio = true;
    }
    return audio;
}

int TFFLoop::ChooseInput() const {
    int best = -1;
    double bestTime = 0;
    // With an encoder thread no stream has a frame limit (MayEncodeOnOwnThread), and the
    // encoded streams' counts belong to that thread.
    for (size_t i = 0; !Handoff && i < T.Outputs.size(); ++i) {
        const TFFOutputStream& ost = T.Outputs[i];
        // An encoder that holds pictures back (a lookahead) has written fewer than it was sent:
        // what was sent counts, or the whole input would be read for nothing.
        const int64_t done = ost.Video ? std::max<int64_t>(ost.FrameNumber, ost.Video->Sync.Written)
                                       : ost.FrameNumber;
        if (done >= MaxFrames(S, ost.Stream->codecpar->codec_type))
            return -1;
    }
    if (Join)
        return JoinInput < int(In.size()) && !Eof[size_t(JoinInput)] ? JoinInput : -1;
    for (const TFFOutputStream& ost : T.Outputs) {
        const TFFInputStream& ist = T.Inputs[size_t(ost.Source)];
        const int file = ist.FileIndex;
        if (ist.PastRecordingTime || NoPacket[size_t(file)] || Eof[size_t(file)])
            continue;
        const double t = S.InputSync ? double(ist.Pts) / 1000000.0 : ost.Time();
        if (best < 0 || t < bestTime) {
            best = file;
            bestTime = t;
        }
    }
    return best;
}

bool TFFLoop::HandleEndOfInput(int file) {
    if (In[size_t(file)].Loop && RewindInput(file))
        return true;
    Eof[size_t(file)] = true;
    if (S.OptShortest && !Join)
        return false;
    if (Join) {
        if (JoinInput + 1 >= int(In.size()))
            return false;
        SwitchJoinInput();
    }
    return true;
}

bool TFFLoop::RewindInput(int file) {
    // The input plays again from its start, one duration later; its decoders forget the end.
    TInputFile& in = In[size_t(file)];
    AVFormatContext* ic = in.Context.get();
    if (ic->duration == AV_NOPTS_VALUE || ic->duration <= 0)
        return false;
    const int64_t start = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    if (ff::av_seek_frame(ic, -1, start, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    in.TsOffset += ic->duration;
    for (TFFInputStream& ist : T.Inputs)
        if (ist.FileIndex == file && ist.Decoder)
            ff::avcodec_flush_buffers(ist.Decoder.get());
    return true;
}

void TFFLoop::SwitchJoinInput() {
    // The encoders keep running across inputs so the joined file has no gap or padding
    // between them; only the decoders of the finished input are drained.
    const int first = T.FirstOfInput[size_t(JoinInput)];
    for (size_t i = size_t(first); i < T.Inputs.size() && T.Inputs[i].FileIndex == JoinInput; ++i)
        if (T.Inputs[i].DecodingNeeded && !T.Inputs[i].Flushed) {
            TFFInputStream& ist = T.Inputs[i];
            ist.Flushed = true;
            if (ist.Decoder) {
                ff::avcodec_send_packet(ist.Decoder.get(), nullptr);
                while (ff::avcodec_receive_frame(ist.Decoder.get(), ist.Frame.get()) >= 0) {
                    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                        HandleAudioFrame(int(i), ist.Frame.get());
                    else if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                        HandleVideoFrame(int(i), ist.Frame.get());
                    ff::av_frame_unref(ist.Frame.get());
                }
            }
        }
    double reached = 0;
    for (const TFFOutputStream& ost : T.Outputs) {
        double t = ost.Time();
        if (ost.Fifo && ost.Encoder && ost.Encoder->sample_rate > 0)
            t += double(ff::av_audio_fifo_size(ost.Fifo.get())) / ost.Encoder->sample_rate;
        reached = std::max(reached, t);
    }
    ++JoinInput;
    In[size_t(JoinInput)].TsOffset += std::llround(reached * 1000000) + S.StartTime;
    for (TFFOutputStream& ost : T.Outputs)
        if (size_t(JoinInput) < ost.JoinSources.size())
            ost.Source = ost.Sync = ost.JoinSources[size_t(JoinInput)];
}

void TFFLoop::AdjustTimestamps(TFFInputStream& ist, AVPacket* pkt) {
    TInputFile& in = In[size_t(ist.FileIndex)];
    const AVRational tb = ist.Stream->time_base;
    const int64_t offset = ff::av_rescale_q(in.TsOffset, MicroBase, tb);
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts += offset;
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts += offset;
    const double scale =
        ist.StreamIndex < ffopt::MaxStreams ? in.TsScale[size_t(ist.StreamIndex)] : 0.0;
    if (scale > 0) {
        if (pkt->dts != AV_NOPTS_VALUE)
            pkt->dts = std::llround(double(pkt->dts) * scale);
        if (pkt->pts != AV_NOPTS_VALUE)
            pkt->pts = std::llround(double(pkt->pts) * scale);
    }
    // Decoding times against decoding times: a picture's presentation time runs ahead of the
    // next packet's decoding time wherever pictures are reordered.
    const size_t index = size_t(&ist - T.Inputs.data());
    if ((in.Context->iformat->flags & AVFMT_TS_DISCONT) && pkt->dts != AV_NOPTS_VALUE &&
        StreamNextDts[index] != AV_NOPTS_VALUE && !S.CopyTs) {
        const int64_t dts = ff::av_rescale_q(pkt->dts, tb, MicroBase);
        const int64_t delta = dts - StreamNextDts[index];
        if (std::llabs(delta) > int64_t(S.DtsDeltaThreshold * 1000000) ||
            dts + 1 < StreamDts[index]) {
            in.TsOffset -= delta;
            const int64_t d = ff::av_rescale_q(delta, MicroBase, tb);
            pkt->dts -= d;
            if (pkt->pts != AV_NOPTS_VALUE)
                pkt->pts -= d;
            if (S.Verbose > 2)
                Log(TStageLog::Verbose,
                    QString::asprintf("timestamp discontinuity %lld, new offset= %lld",
                                      (long long)delta, (long long)in.TsOffset));
        }
    }
}

bool TFFLoop::OutputPacket(int istIndex, AVPacket* pkt) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    const AVRational tb = ist.Stream->time_base;
    if (ist.NextPts == AV_NOPTS_VALUE)
        ist.NextPts = ist.Pts;
    if (pkt && pkt->dts != AV_NOPTS_VALUE)
        ist.NextPts = ist.Pts = ff::av_rescale_q(pkt->dts, tb, MicroBase);
    if (pkt && pkt->dts != AV_NOPTS_VALUE)
        TrackDts(istIndex, pkt);
    if (!ist.DecodingNeeded) {
        if (pkt)
            CopyPacket(istIndex, pkt);
        return true;
    }
    // Only audio may be skipped undecoded: its decoder settles within the preroll. A picture
    // needs every packet from its keyframe on, however long before the start that was.
    if (pkt && SkipBeforePreroll && S.StartTime > 0 && pkt->duration > 0 &&
        ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        const int64_t begin = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (begin != AV_NOPTS_VALUE &&
            ff::av_rescale_q(begin + pkt->duration, tb, MicroBase) < S.StartTime - DecodePreroll) {
            ist.NextPts += ff::av_rescale_q(pkt->duration, tb, MicroBase);
            return true;
        }
    }
    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
        return OutputSubtitle(istIndex, pkt);
    // Packets inside the preroll may not decode cleanly (their bit reservoir lies in skipped
    // packets); they are before the start time, so their errors are nobody's concern.
    const bool beforeStart = pkt && S.StartTime > 0 && ist.Pts < S.StartTime;
    int err = ff::avcodec_send_packet(ist.Decoder.get(), pkt);
    if (err < 0 && err != AVERROR_EOF && err != AVERROR(EAGAIN))
        return beforeStart;
    int framesOfPacket = 0;
    for (;;) {
        err = ff::avcodec_receive_frame(ist.Decoder.get(), ist.Frame.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            break;
        if (err < 0)
            return beforeStart;
        if (pkt && ++framesOfPacket == 2)
            WarnMultipleFrames(ist);
        switch (ist.Stream->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            HandleAudioFrame(istIndex, ist.Frame.get());
            break;
        case AVMEDIA_TYPE_VIDEO:
            HandleVideoFrame(istIndex, ist.Frame.get());
            break;
        default:
            break;
        }
        ff::av_frame_unref(ist.Frame.get());
    }
    return true;
}

void TFFLoop::TrackDts(int istIndex, const AVPacket* pkt) {
    const TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    const AVRational tb = ist.Stream->time_base;
    const AVCodecParameters* par = ist.Stream->codecpar;
    const int64_t dts = ff::av_rescale_q(pkt->dts, tb, MicroBase);
    int64_t duration = 0;
    if (pkt->duration > 0) {
        duration = ff::av_rescale_q(pkt->duration, tb, MicroBase);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->frame_size > 0 &&
               par->sample_rate > 0) {
        duration = int64_t(par->frame_size) * 1000000 / par->sample_rate;
    } else if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        const AVRational rate =
            ist.Stream->avg_frame_rate.num ? ist.Stream->avg_frame_rate : ist.Stream->r_frame_rate;
        if (rate.num > 0 && rate.den > 0)
            duration = ff::av_rescale_q(1, av_inv_q(rate), MicroBase);
    }
    StreamDts[size_t(istIndex)] = dts;
    StreamNextDts[size_t(istIndex)] = dts + duration;
}

void TFFLoop::WarnMultipleFrames(TFFInputStream& ist) {
    // Worth knowing once per stream; a user asking for more detail hears of every packet.
    if (S.Verbose > 1 || (S.Verbose > 0 && !ist.MultiFrameWarned))
        Log(TStageLog::Error,
            QString::asprintf("Multiple frames in a packet from stream %d", ist.Stream->index));
    ist.MultiFrameWarned = true;
}

void TFFLoop::HandleAudioFrame(int istIndex, const AVFrame* frame) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    if (frame->sample_rate <= 0 || frame->nb_samples <= 0)
        return;
    ist.Pts = ist.NextPts;
    ist.NextPts += int64_t(frame->nb_samples) * 1000000 / frame->sample_rate;
    ist.BlockSize = TFFAudioPath::ToBlock(ist, frame);
    if (S.RateEmu) {
        const int64_t ahead = ist.Pts - (ff::av_gettime_relative() - ist.WallStart);
        if (ahead > 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
    }
    if (S.StartTime && ist.NextPts <= S.StartTime)
        return;
    if (!TrimToRange(ist))
        return;
    if (Callbacks.AudioHook)
        Callbacks.AudioHook(ist.Pts, ist.Block.data(), ist.BlockSize, ist.BlockRate,
                            ist.BlockChannels, ist.BlockFormat);
    TFFAudioPath::ApplyVolume(ist, S.AudioVolume);
    for (TFFOutputStream& ost : T.Outputs)
        if (ost.Source == istIndex && ost.EncodingNeeded &&
            ost.Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
            Audio.Output(ost, ist);
}

void TFFLoop::HandleVideoFrame(int istIndex, AVFrame* frame) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    const AVRational tb = ist.Stream->time_base;
    const int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                            ? ff::av_rescale_q(frame->best_effort_timestamp, tb, MicroBase)
                            : ist.NextPts;
    int64_t duration = frame->pkt_duration > 0 ? ff::av_rescale_q(frame->pkt_duration, tb, MicroBase)
                                               : 0;
    if (duration <= 0) {
        const AVRational rate = ist.Stream->avg_frame_rate.num ? ist.Stream->avg_frame_rate
                                                               : ist.Decoder->framerate;
        duration = rate.num > 0 && rate.den > 0 ? ff::av_rescale_q(1, av_inv_q(rate), MicroBase)
                                                : 40000;
    }
    ist.Pts = pts;
    ist.NextPts = pts + duration;
    if (S.RateEmu) {
        const int64_t ahead = ist.Pts - (ff::av_gettime_relative() - ist.WallStart);
        if (ahead > 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
    }
    if (S.StartTime && pts < S.StartTime)
        return;
    if (S.RecordingTime != ffopt::NoTimeLimit && pts >= S.StartTime + S.RecordingTime)
        return;
    Video.Picture(istIndex, frame, pts);
}

bool TFFLoop::OutputSubtitle(int istIndex, AVPacket* pkt) {
    if (!pkt)
        return true;
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    AVSubtitle sub{};
    int got = 0;
    if (ff::avcodec_decode_subtitle2(ist.Decoder.get(), &sub, &got, pkt) < 0)
        return false;
    if (!got)
        return true;
    struct TFree {
        AVSubtitle& Sub;
        ~TFree() { ff::avsubtitle_free(&Sub); }
    } release{sub};
    int64_t pts = sub.pts;
    if (pts == AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE)
        pts = ff::av_rescale_q(pkt->pts, ist.Stream->time_base, MicroBase);
    if (pts != AV_NOPTS_VALUE && S.StartTime && pts < S.StartTime)
        return true;
    for (TFFOutputStream& ost : T.Outputs) {
        if (ost.Source != istIndex || !ost.EncodingNeeded || !ost.EncoderOpen ||
            ost.Encoder->codec_type != AVMEDIA_TYPE_SUBTITLE)
            continue;
        if (pts == AV_NOPTS_VALUE) {
            if (S.ExitOnError)
                Raise(std::string("Subtitle packets must have a pts"));
            Log(TStageLog::Error, QStringLiteral("Subtitle packets must have a pts"));
            return true;
        }
        // Encoders take the display window relative to the subtitle's own time.
        AVSubtitle out = sub;
        out.pts = pts + int64_t(sub.start_display_time) * 1000;
        out.end_display_time = sub.end_display_time - sub.start_display_time;
        out.start_display_time = 0;
        constexpr int BufferSize = 1024 * 1024;
        if (SubtitleBuffer.size() < size_t(BufferSize))
            SubtitleBuffer.resize(BufferSize);
        const int size =
            ff::avcodec_encode_subtitle(ost.Encoder, SubtitleBuffer.data(), BufferSize, &out);
        if (size < 0)
            Raise(std::string("Subtitle encoding failed"));
        PacketPtr opkt = NewPacket();
        if (ff::av_new_packet(opkt.get(), size) < 0)
            Raise(std::string("Not enough memory"));
        std::memcpy(opkt->data, SubtitleBuffer.data(), size_t(size));
        const AVRational otb = ost.Stream->time_base;
        opkt->pts = opkt->dts = ff::av_rescale_q(out.pts - S.StartTime, MicroBase, otb);
        opkt->duration = ff::av_rescale_q(out.end_display_time, AVRational{1, 1000}, otb);
        opkt->stream_index = ost.Stream->index;
        WritePacket(ost, opkt.get());
    }
    return true;
}

bool TFFLoop::TrimToRange(TFFInputStream& ist) const {
    const int rate = ist.BlockRate;
    const int frameBytes = ist.BlockSampleBytes() * ist.BlockChannels;
    int frames = ist.BlockSize / frameBytes;
    if (S.StartTime && ist.Pts < S.StartTime) {
        // The block straddles the start: its frames before it are not part of the output.
        // Block times are whole microseconds, a fraction of a frame off at most; rounding to the
        // nearest frame finds the frame at the start, and the same rounding at the end keeps the
        // range's length exact.
        const int drop = int(std::min<int64_t>(
            frames, ff::av_rescale_rnd(S.StartTime - ist.Pts, rate, 1000000, AV_ROUND_NEAR_INF)));
        std::memmove(ist.Block.data(), ist.Block.data() + size_t(drop) * size_t(frameBytes),
                     size_t(frames - drop) * size_t(frameBytes));
        frames -= drop;
        ist.Pts += ff::av_rescale_rnd(drop, 1000000, rate, AV_ROUND_NEAR_INF);
    }
    if (S.RecordingTime != ffopt::NoTimeLimit && ist.NextPts > S.StartTime + S.RecordingTime) {
        // The block runs past the end of the range: only the frames inside it are output.
        const int64_t keep = ff::av_rescale_rnd(S.StartTime + S.RecordingTime - ist.Pts, rate,
                                                1000000, AV_ROUND_NEAR_INF);
        frames = int(std::clamp<int64_t>(keep, 0, frames));
    }
    ist.BlockSize = frames * frameBytes;
    return frames > 0;
}

void TFFLoop::CopyPacket(int istIndex, const AVPacket* pkt) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    const AVRational tb = ist.Stream->time_base;
    ist.Pts = ist.NextPts;
    const AVCodecParameters* par = ist.Stream->codecpar;
    if (pkt->duration > 0)
        ist.NextPts += ff::av_rescale_q(pkt->duration, tb, MicroBase);
    else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->frame_size > 0 && par->sample_rate > 0)
        ist.NextPts += int64_t(par->frame_size) * 1000000 / par->sample_rate;
    // A cover picture belongs to the whole file, whatever range is cut from it.
    const bool cover = ist.Stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
    if (S.StartTime && ist.Pts < S.StartTime && !cover)
        return;
    for (TFFOutputStream& ost : T.Outputs) {
        if (ost.Source != istIndex || !ost.Copy)
            continue;
        if (!(pkt->flags & AV_PKT_FLAG_KEY) && ost.FrameNumber == 0 && !S.CopyInitialNonKeyframes)
            continue;
        PacketPtr opkt = NewPacket();
        if (ff::av_packet_ref(opkt.get(), pkt) < 0)
            Raise(std::string("Not enough memory"));
        const AVRational otb = ost.Stream->time_base;
        const int64_t start = ff::av_rescale_q(S.StartTime, MicroBase, otb);
        opkt->pts = pkt->pts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->pts, tb, otb) - start
                                               : AV_NOPTS_VALUE;
        opkt->dts = (pkt->dts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->dts, tb, otb)
                                                : ff::av_rescale_q(ist.Pts, MicroBase, otb)) -
                    start;
        opkt->duration = ff::av_rescale_q(pkt->duration, tb, otb);
        if (cover) // timeless: it must not count as output time either
            opkt->pts = opkt->dts = opkt->duration = 0;
        opkt->stream_index = ost.Stream->index;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO)
            T.VideoBytes += opkt->size;
        else if (par->codec_type == AVMEDIA_TYPE_AUDIO)
            T.AudioBytes += opkt->size;
        if (Handoff) {
            // Counted here, where the loop reads the counts (the first packet, the progress);
            // written there, in its place among the encoded packets.
            CountPacket(ost, opkt.get(), OutX[size_t(ost.FileIndex)].Packets);
            Handoff->Write(ost, std::move(opkt));
        } else {
            WritePacket(ost, opkt.get());
        }
    }
}

void TFFLoop::FlushInputStream(int istIndex) {
    TFFInputStream& ist = T.Inputs[size_t(istIndex)];
    ist.Flushed = true;
    if (ist.Decoder)
        OutputPacket(istIndex, nullptr);
    for (TFFOutputStream& ost : T.Outputs) {
        if (ost.Source == istIndex && ost.EncodingNeeded && ost.Encoder &&
            ost.Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
            Audio.Flush(ost);
        else if (ost.Source == istIndex && ost.EncodingNeeded && ost.Video)
            Video.Flush(ost);
    }
}

void TFFLoop::WritePacket(TFFOutputStream& ost, AVPacket* pkt) {
    TOutputFile& out = Out[size_t(ost.FileIndex)];
    if (ost.Index < ffopt::MaxStreams && !out.BitstreamFilters[size_t(ost.Index)].empty()) {
        FilterPacket(ost, out.BitstreamFilters[size_t(ost.Index)], 0, pkt);
        return;
    }
    Mux(ost, pkt);
}

void TFFLoop::FilterPacket(TFFOutputStream& ost, TBitstreamFilterChain& chain, size_t from,
                           AVPacket* pkt) {
    if (from >= chain.size()) {
        Mux(ost, pkt);
        return;
    }
    AVBSFContext* bsf = chain[from].Context.get();
    auto failed = [&](int err) {
        const std::string msg =
            Fmt("%s failed for stream %d, codec %s", bsf->filter->name, ost.Stream->index,
                ost.Copy ? "copy" : ff::avcodec_get_name(ost.Stream->codecpar->codec_id)) +
            ": " + LibErrorText(err);
        if (S.ExitOnError)
            Raise(msg);
        Log(TStageLog::Error, QString::fromLocal8Bit(msg.c_str()));
    };
    // A filter is set up on the first packet, when the stream's parameters are final.
    if (bsf->par_in->codec_type == AVMEDIA_TYPE_UNKNOWN) {
        ff::avcodec_parameters_copy(bsf->par_in, ost.Stream->codecpar);
        bsf->time_base_in = ost.Stream->time_base;
        const int err = ff::av_bsf_init(bsf);
        if (err < 0) {
            failed(err);
            FilterPacket(ost, chain, from + 1, pkt); // on unfiltered
            return;
        }
    }
    PacketPtr keep = NewPacket();
    ff::av_packet_ref(keep.get(), pkt);
    int err = ff::av_bsf_send_packet(bsf, pkt);
    if (err < 0) {
        failed(err);
        FilterPacket(ost, chain, from + 1, keep.get());
        return;
    }
    PacketPtr filtered = NewPacket();
    while ((err = ff::av_bsf_receive_packet(bsf, filtered.get())) >= 0) {
        ff::av_packet_rescale_ts(filtered.get(), bsf->time_base_out, ost.Stream->time_base);
        FilterPacket(ost, chain, from + 1, filtered.get());
        ff::av_packet_unref(filtered.get());
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF)
        failed(err);
}

void TFFLoop::Mux(TFFOutputStream& ost, AVPacket* pkt) {
    CountPacket(ost, pkt, OutX[size_t(ost.FileIndex)].Packets);
    WriteToMuxer(ost, pkt);
}

void TFFLoop::CountPacket(TFFOutputStream& ost, const AVPacket* pkt, int64_t& packets) {
    if (pkt->dts != AV_NOPTS_VALUE)
        ost.LastDts = pkt->dts + (pkt->duration > 0 ? pkt->duration : 0);
    ++ost.FrameNumber;
    ++packets;
}

void TFFLoop::WriteOnEncoderThread(TFFOutputStream& ost, AVPacket* pkt) {
    if (!ost.Copy)
        CountPacket(ost, pkt, EncodedPackets);
    WriteToMuxer(ost, pkt);
    WrittenSize.store(TFFOutputExtra::Size(Out[size_t(ost.FileIndex)]), std::memory_order_relaxed);
}

void TFFLoop::WriteToMuxer(TFFOutputStream& ost, AVPacket* pkt) {
    const int err = ff::av_interleaved_write_frame(Out[size_t(ost.FileIndex)].Context.get(), pkt);
    if (err < 0) {
        // A failed write of the file itself has the system's reason in the I/O context.
        const AVIOContext* pb = Out[size_t(ost.FileIndex)].Context->pb;
        Raise("av_interleaved_write_frame(): " +
              (pb && pb->error < 0 ? FileErrorText(pb->error) : LibErrorText(err)));
    }
}
