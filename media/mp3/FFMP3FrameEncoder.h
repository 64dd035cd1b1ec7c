#pragma once
// LAME (avcodec's libmp3lame encoder, through the loader's entry points) set up to make frames
// that can sit among copied ones: the source's rate, channel count and bit rate, constant bit
// rate, and no bit reservoir, so every frame's main data begins in the frame itself
// (main_data_begin 0) and a splice after it needs no bytes from frames that are dropped. The
// repacker can still move the data back to make room at the end of a run.
//
// Needs the encoder libraries bound (EncoderLibraries). Owns its codec context, frame and packet.
// Threads: one object is used by one thread; Open and the destructor take the codec lock.

#include "media/AVPtr.h"

#include <QString>

#include <cstdint>
#include <vector>

class FFMP3FrameEncoder {
public:
    using TFrame = std::vector<unsigned char>;

    FFMP3FrameEncoder() = default;
    ~FFMP3FrameEncoder();
    FFMP3FrameEncoder(const FFMP3FrameEncoder&) = delete;
    FFMP3FrameEncoder& operator=(const FFMP3FrameEncoder&) = delete;

    // jointStereo: the channel mode of a stereo source (LAME's joint stereo or plain stereo).
    bool Open(int rate, int channels, int kbps, bool jointStereo, QString& error);
    // Raw output sample (after a decoder's own 529-sample delay) of input sample 0.
    int Lead() const;
    int SamplesPerFrame() const;

    // Encodes interleaved signed 16-bit samples (frames: samples per channel) and appends the
    // whole frames ready so far to out. Finish flushes what the encoder holds.
    bool Encode(const int16_t* samples, int64_t frames, std::vector<TFrame>& out, QString& error);
    bool Finish(std::vector<TFrame>& out, QString& error);

private:
    AVCodecContextPtr FContext;
    AVFramePtr FFrame;
    AVPacketPtr FPacket;
    int FFill = 0;   // samples per channel already in FFrame
    int64_t FPts = 0;

    bool Send(AVFrame* frame, std::vector<TFrame>& out, QString& error);
};
