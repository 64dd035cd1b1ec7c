#pragma once
// The Xing/Info frame with a LAME tag that opens an MP3 written by the smart cut: frame and byte
// counts, a seek table (TOC), the encoder delay and padding that make decoders trim the stream
// to its exact length, and the tag's two CRCs (of the audio and of the tag itself). Also reads
// the delay and padding of a source's own tag, which the cut needs to map decoded samples to
// frames.
//
// The frame is silent (all-zero side information) so a decoder that does not know the tag plays
// nothing for it. Owns nothing; a value type. Threads: any.

#include "media/mp3/TMP3Header.h"

#include <cstdint>
#include <vector>

// CRC-16 (polynomial 0x8005, bits reflected, start 0), the one LAME puts in its tag.
uint16_t LameCrc16(const unsigned char* d, int64_t n, uint16_t crc = 0);

class TMP3InfoTag {
public:
    // What a source's tag frame says; Found false when the frame holds no Xing or Info tag.
    struct TRead {
        bool Found = false;
        bool Gapless = false; // a LAME (or FFmpeg) block whose delay and padding decoders trust
        int Delay = 0;        // samples the encoder added at the start
        int Padding = 0;      // samples it added at the end
        int64_t Frames = -1;  // audio frames the tag counts; -1 when it gives none
    };
    static TRead Read(const unsigned char* frame, int size);
    // Whether the frame (header at frame[0]) holds a VBRI tag, which decoders also skip.
    static bool IsVbri(const unsigned char* frame, int size);

    // The audio's frames, as they will follow the tag frame: their lengths in bytes.
    std::vector<int> FrameBytes;
    int Delay = 0;         // 0..4095
    int Padding = 0;       // 0..4095
    uint16_t MusicCrc = 0; // LameCrc16 of all the audio frames' bytes
    bool Vbr = false;      // frames of more than one bit rate: a "Xing" tag instead of "Info"
    int Kbps = 0;          // nominal bit rate for the tag's bit rate byte

    // The tag frame for a stream of frames shaped like shape (version, rate, channel mode): the
    // smallest frame of that shape that holds the tag, or shape's own bit rate when that is
    // enough (what a constant bit rate stream expects).
    std::vector<unsigned char> Build(TMP3Header shape) const;
};
