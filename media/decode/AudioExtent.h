#pragma once
// Where a file's audio really ends. A header's duration is a promise: a truncated download keeps
// the header of the whole file, and the duration also counts the encoder's delay and padding,
// which no decoder plays. The packets themselves tell: the last one's end, less the padding its
// side data asks the decoder to drop, on the same timeline the encoder's ranges use (the file's
// start time is 0).
//
// Only packets are read, nothing is decoded, so a scan costs a fraction of a cut of the same
// range. It needs avformat and avcodec bound (a probe that has loaded its libraries will do).
//
// Threads: none of its own; any thread (stream probing takes the codec lock).

#include <QString>

#include <cstdint>

struct TAudioExtent {
    int Error = 0;         // 0, or the AVERROR of a file that could not be opened
    bool HasAudio = false; // an audio stream with a known rate and channel count, and a packet
    int64_t EndUs = 0;     // µs from the start of the audio to its end
    // The scan read to the end of the file, so EndUs is where the audio ends; otherwise it stopped
    // at the first packet reaching limitUs, and the audio goes on past EndUs.
    bool ReachedEnd = false;
};

// Reads the packets of fileName's first audio stream until one ends at or past limitUs (µs on
// the cut's timeline) or the file ends.
TAudioExtent ScanAudioExtent(const QString& fileName, int64_t limitUs);
