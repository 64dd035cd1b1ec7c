#pragma once
// The stream tables of one run: every input stream with its decoder and its running clock, and
// every output stream bound to the input stream that feeds it, with the audio path's per-stream
// state. Built by preparation, used by the loop and the audio path on the run's thread only.

#include "media/encode/loop/FFLoopSupport.h"

#include <cstdint>
#include <memory>
#include <vector>

struct TFFInputStream {
    int FileIndex = 0;
    int StreamIndex = 0;
    AVStream* Stream = nullptr;
    bool Discard = true;         // no output stream takes this stream
    bool DecodingNeeded = false; // an output stream encodes from it
    ffstage::CodecContextPtr Decoder;
    int64_t NextPts = AV_NOPTS_VALUE; // µs, where the next decoded block starts
    int64_t Pts = 0;                  // µs, start of the block being handled
    bool IsStart = true;              // no audio sync correction made yet
    int64_t WallStart = 0;            // µs, wall clock at preparation ("re")
    bool PastRecordingTime = false;
    bool Flushed = false;
    bool MultiFrameWarned = false;

    // Decoded audio as packed samples at the decoder's rate and layout: what the hook, the
    // volume and every output stream see. 16-bit decoders give signed 16-bit blocks; all others
    // (float, 32-bit) give float blocks, so that nothing is rounded to 16 bits on its way to
    // the encoder.
    ffstage::SwrPtr ToBlock;
    int BlockFormat = AV_SAMPLE_FMT_S16; // AVSampleFormat of the block, always packed
    int BlockRate = 0;                   // Hz of the block
    int BlockChannels = 0;
    AVChannelLayout BlockLayout{}; // layout of the block (owned; uninit with the stream)
    int ToBlockInFormat = -1;      // frame format ToBlock was made for
    int ToBlockInRate = 0;
    // Bytes of one sample of the block (of one channel).
    int BlockSampleBytes() const {
        return BlockFormat == AV_SAMPLE_FMT_S16 ? 2 : int(sizeof(float));
    }
    std::vector<uint8_t> Block; // the current block (capacity may exceed it)
    int BlockSize = 0;          // bytes of the current block
    ffstage::FramePtr Frame;    // decoder output, reused

    TFFInputStream() = default;
    TFFInputStream(TFFInputStream&&) = default;
    TFFInputStream& operator=(TFFInputStream&&) = default;
    ~TFFInputStream();
};

// The video path's state of an output stream (media/encode/video/FFVideoPath.h).
struct TFFVideoOutput;

struct TFFOutputStream {
    int FileIndex = 0;
    int Index = 0; // stream index within its file
    AVStream* Stream = nullptr;
    int Source = -1;              // index into the input stream table
    int Sync = -1;                // input stream whose clock this stream follows
    std::vector<int> JoinSources; // join mode: the source in each input, in input order
    bool Copy = false;
    bool EncodingNeeded = false;
    AVCodecContext* Encoder = nullptr; // owned by the output file's stream set-up
    bool EncoderOpen = false;
    int64_t FrameNumber = 0;          // frames (packets) written
    int64_t LastDts = AV_NOPTS_VALUE; // of the last packet written, in the stream's time base

    // Audio path.
    ffstage::AudioFifoPtr Fifo; // samples in the encoder's format and layout
    ffstage::SwrPtr Resampler;  // block -> encoder format, rate and layout
    bool AudioResample = false; // rate or channel count differ, or sync method > 1
    int ResamplerInRate = 0;    // Hz, input rate the resampler was made for
    int ResamplerInChannels = 0;
    int ResamplerInFormat = -1; // block format the resampler was made for
    int64_t SyncOpts = 0;                  // samples handed to the encoder (output clock)
    int64_t NextFramePts = AV_NOPTS_VALUE; // samples; keeps frame timestamps increasing
    std::vector<uint8_t> Work;             // converted samples before they enter the FIFO
    ffstage::FramePtr EncFrame;            // one encoder frame, reused
    ffstage::PacketPtr EncPacket;          // encoder output, reused

    std::shared_ptr<TFFVideoOutput> Video; // video path; null for other kinds and copies

    // Output time reached, s: samples handed to the encoder, or the end of the last packet.
    double Time() const {
        if (EncodingNeeded && Encoder && Encoder->codec_type == AVMEDIA_TYPE_AUDIO &&
            Encoder->sample_rate > 0)
            return double(SyncOpts) / Encoder->sample_rate;
        return LastDts == AV_NOPTS_VALUE ? 0.0 : double(LastDts) * av_q2d(Stream->time_base);
    }
};

struct TFFStreamTables {
    std::vector<TFFInputStream> Inputs;
    std::vector<int> FirstOfInput; // index of each input file's first stream in Inputs
    std::vector<TFFOutputStream> Outputs;

    // Bytes written per kind, for the final statistics.
    int64_t VideoBytes = 0, AudioBytes = 0, HeaderBytes = 0;
    int DupFrames = 0, DropFrames = 0;
};
