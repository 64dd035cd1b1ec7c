#pragma once
// The transcode of one run, on the run's thread: preparation, then packets are read from the
// inputs in timestamp order, offset, cut at the recording time, decoded and handed to the audio
// path (or copied), progress is reported at most once per interval, and at the end decoders and
// encoders are flushed and the trailers written.
//
// The stop flag crosses threads: Stop() on another thread sets it, the loop reads it before
// every packet. A run whose outputs are audio only (every cut) encodes and writes on an encoder
// thread of its own (TFFEncoderThread, owned by Transcode for the loop's length), so decoding and
// encoding share the machine's cores; the output is the same to the byte. Any other run (video,
// subtitles, several output files, frame or size limits, bitstream filters, join mode) stays on
// one thread.

#include "media/AVPtr.h"
#include "media/encode/audio/FFAudioPath.h"
#include "media/encode/loop/FFLoopProgress.h"
#include "media/encode/output/FFOutputFile.h"
#include "media/encode/prepare/FFPrepareStreams.h"
#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/video/FFVideoPath.h"

#include <atomic>
#include <memory>

class TMP3FrameIndex;
class TFFEncoderThread;

class TFFLoop {
public:
    // Audio packets that end more than this before an output-side start time are read but not
    // decoded: enough for the MP3 decoder's bit reservoir and overlap to settle, so what is
    // decoded from the start time on is the same as when everything is decoded. Video is
    // always decoded: a picture depends on every packet since its keyframe.
    static constexpr int64_t DecodePreroll = 1000000; // µs

    TFFLoop(TFFOptionState& s, const TFFOptionContexts& c, std::vector<TInputFile>& inputs,
            const std::vector<const AVCodec*>& inputCodecs, std::vector<TOutputFile>& outputs,
            std::vector<TFFOutputExtra>& extras, bool joinMode, const TFFLoopCallbacks& callbacks,
            const std::atomic<bool>& stop, int64_t progressInterval, TFFStreamTables& tables)
        : S(s), C(c), In(inputs), InputCodecs(inputCodecs), Out(outputs), OutX(extras),
          Join(joinMode), Callbacks(callbacks), StopFlag(stop), T(tables),
          Progress(s, outputs, tables, callbacks, progressInterval),
          Audio(s, tables, [this](TFFOutputStream& ost, AVPacket* pkt) { WritePacket(ost, pkt); }),
          Video(s, c, outputs, extras, tables, callbacks.Video,
                callbacks.Preview ? *callbacks.Preview : OwnPreview,
                callbacks.FrameHooks ? *callbacks.FrameHooks : OwnFrameHooks, stop,
                [this](TFFOutputStream& ost, AVPacket* pkt) { WritePacket(ost, pkt); }) {}

    // Prepares and runs the transcode to its end or to a stop request. Raises the engine
    // exception on failure; the caller closes the codecs.
    void Transcode();

    // For tests and benchmarks: skipping packets before the preroll can be switched off to
    // compare with decoding everything.
    bool SkipBeforePreroll = true;
    // For tests and benchmarks: a run that may use an encoder thread can be kept on one thread.
    bool EncodeOnOwnThread = true;
    // Whether this run did encode on an encoder thread.
    bool UsedEncoderThread() const { return UsedThread; }

private:
    // True when this run's writes can all move to an encoder thread without changing what is
    // written: audio encoders and stream copies into one file, nothing that reads back what was
    // written while the run goes on.
    bool MayEncodeOnOwnThread() const;
    // Raises the engine exception when the run was asked for the whole recording time and its
    // input ended well before it.
    void CheckRecordingTimeReached() const;
    // A cut deep into a single MP3 starts reading a little before its decode preroll instead of
    // at the file's start; the packets read from there carry the timestamps reading from the
    // start would have given them. Falls back to reading everything for any other input.
    void SeekNearStart();
    // Reads the next packet of an input: the one kept from positioning first, then the
    // demuxer's, restamped after positioning. The demuxer's error code.
    int ReadPacket(int file, AVPacket* pkt);
    void RestampPacket(AVPacket* pkt);
    // Marks the encoder's padding at the end of a restamped packet for the decoder to drop, as
    // the demuxer does when it reads from the start.
    void DropEndPadding(AVPacket* pkt);

    int ChooseInput() const;
    bool HandleEndOfInput(int file);
    bool RewindInput(int file);
    void SwitchJoinInput();
    void AdjustTimestamps(TFFInputStream& ist, AVPacket* pkt);
    bool OutputPacket(int istIndex, AVPacket* pkt);
    // Where the stream's decoding times are: the packet's, and the next one expected.
    void TrackDts(int istIndex, const AVPacket* pkt);
    void WarnMultipleFrames(TFFInputStream& ist);
    void HandleAudioFrame(int istIndex, const AVFrame* frame);
    void HandleVideoFrame(int istIndex, AVFrame* frame);
    // Subtitles decode one packet at a time, outside the send/receive API.
    bool OutputSubtitle(int istIndex, AVPacket* pkt);
    // Cuts the current block of ist to the output's range (start time to start plus recording
    // time), so a range is exact to the sample rather than to the decoder's frames. False when
    // nothing of the block is left.
    bool TrimToRange(TFFInputStream& ist) const;
    void CopyPacket(int istIndex, const AVPacket* pkt);
    void FlushInputStream(int istIndex);
    // Writing a packet: through the stream's bitstream filters, then to the muxer.
    void WritePacket(TFFOutputStream& ost, AVPacket* pkt);
    void FilterPacket(TFFOutputStream& ost, TBitstreamFilterChain& chain, size_t from,
                      AVPacket* pkt);
    void Mux(TFFOutputStream& ost, AVPacket* pkt);
    // The two halves of Mux: what the loop counts of a packet, and the write itself.
    void CountPacket(TFFOutputStream& ost, const AVPacket* pkt, int64_t& packets);
    void WriteToMuxer(TFFOutputStream& ost, AVPacket* pkt);
    // The encoder thread's write: counts its encoded packets (copies were counted when they
    // were handed over) and publishes the file's size for the progress reports.
    void WriteOnEncoderThread(TFFOutputStream& ost, AVPacket* pkt);

    TFFOptionState& S;
    const TFFOptionContexts& C;
    std::vector<TInputFile>& In;
    const std::vector<const AVCodec*>& InputCodecs;
    std::vector<TOutputFile>& Out;
    std::vector<TFFOutputExtra>& OutX;
    bool Join;
    const TFFLoopCallbacks& Callbacks;
    const std::atomic<bool>& StopFlag;
    TFFStreamTables& T;
    TFFLoopProgress Progress;
    TFFAudioPath Audio;
    // Stand-ins when the engine shares none (tests that run a loop on their own).
    TFFPreviewControl OwnPreview;
    TFrameHookList OwnFrameHooks;
    TFFVideoPath Video;

    std::vector<bool> Eof, NoPacket; // per input
    // Per input stream, µs: the last packet's decoding time and the next one's expected; the
    // discontinuity test compares these, never presentation times.
    std::vector<int64_t> StreamDts, StreamNextDts;
    int JoinInput = 0;               // join mode: the input being read
    int LastFile = 0;                // input the last packet came from
    std::vector<uint8_t> SubtitleBuffer; // encoded subtitle, reused

    // The run's encoder thread while the loop runs; null when it runs on one thread.
    TFFEncoderThread* Handoff = nullptr;
    bool UsedThread = false;
    // Touched only by the encoder thread until it is joined: packets it wrote.
    int64_t EncodedPackets = 0;
    // Bytes in the output file, as the encoder thread last saw it: the progress reports' size.
    std::atomic<int64_t> WrittenSize{0};

    // Positioning of input 0 (see SeekNearStart).
    // Packets read to learn where the frames start, handed to the loop first unless the input
    // was positioned.
    std::vector<AVPacketPtr> Pending;
    size_t PendingNext = 0;
    int AudioIndex = 0;                          // the stream of input 0 that is positioned
    bool Restamp = false;                        // packets of input 0 get timestamps from the index
    std::shared_ptr<const TMP3FrameIndex> Index; // frames of input 0, read-only
    int64_t FirstDts = 0;                        // stream time base: the first frame's timestamp
    int64_t FrameDuration = 0;                   // stream time base
    int SampleRate = 0;                          // Hz of input 0
    size_t NextFrame = 0;                        // Index->Positions() entry expected next
    int64_t NextDts = AV_NOPTS_VALUE;            // stream time base: where the next packet begins
};
