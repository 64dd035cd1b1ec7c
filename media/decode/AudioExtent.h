#pragma once
// Where a file's audio really ends. A header's duration is a promise: a truncated download keeps
// the header of the whole file, and the duration also counts the encoder's delay and padding,
// which no decoder plays. The packets themselves tell: the last one's end, less the padding its
// side data asks the decoder to drop, on the same timeline the encoder's ranges use (the file's
// start time is 0).
//
// Only packets are read, nothing is decoded, so a scan costs a fraction of a cut of the same
// range; of an MP3 only the frame headers are read, from near its end when its encoder's info tag
// agrees with the file, so that a range at the end of a long file costs what one at its start
// does. It needs avformat and avcodec bound (a probe that has loaded its libraries will do).
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
// the cut's timeline) or the file ends. With fromFrameHeaders an MP3 whose frames run to its end
// is measured from their headers instead, which gives the same end.
TAudioExtent ScanAudioExtent(const QString& fileName, int64_t limitUs,
                             bool fromFrameHeaders = true);
