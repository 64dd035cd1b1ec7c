#pragma once
// Decodes whole layer III frames, handed over as bytes, into interleaved signed 16-bit samples:
// one frame's worth of samples per frame, in order, with no gapless trim, so frame j of what it
// is given yields raw samples j × samples-per-frame on. A frame the decoder cannot use yields
// silence, which keeps the positions. The first frames of a run decode right only once the
// reservoir and the overlap before them have been seen: the caller starts a few frames early.
//
// Needs the decoder libraries bound. Owns its codec context, packet and frame. Threads: one
// object is used by one thread; Open and the destructor take the codec lock.

#include "media/AVPtr.h"

#include <QString>

#include <cstdint>
#include <vector>

class FFMP3FrameDecoder {
public:
    using TFrame = std::vector<unsigned char>;

    FFMP3FrameDecoder() = default;
    ~FFMP3FrameDecoder();
    FFMP3FrameDecoder(const FFMP3FrameDecoder&) = delete;
    FFMP3FrameDecoder& operator=(const FFMP3FrameDecoder&) = delete;

    bool Open(QString& error);
    // Appends spf × channels samples per frame to out.
    bool Decode(const std::vector<TFrame>& frames, int spf, int channels, std::vector<int16_t>& out,
                QString& error);

private:
    AVCodecContextPtr FContext;
    AVPacketPtr FPacket;
    AVFramePtr FFrame;
};
