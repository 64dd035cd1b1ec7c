#pragma once
// Byte positions of the MPEG audio frames of an MP3, found by walking the frame headers. A cut
// deep into a long file uses it to start reading near the range instead of letting the demuxer
// parse every frame before it; the exact timestamp of frame k is the first frame's plus k frame
// durations, because every frame of one stream holds the same number of samples.
//
// Used on the run's thread only.

#include <QString>

#include <cstdint>
#include <vector>

class TMP3FrameIndex {
public:
    // Walks the frames of fileName from the byte position of its first audio frame. The walk
    // stops at the end of the file or at the first bytes that are not a layer III frame header
    // like the first one (same version, sample rate and channel mode family), so everything
    // indexed is a run of frames the demuxer splits the same way. False when not even the first
    // frame is such a header (free format, another layer, not at a frame).
    bool Build(const QString& fileName, int64_t firstFrame);

    // Byte offset of each indexed frame, ascending.
    const std::vector<int64_t>& Positions() const { return Pos; }
    // Samples per frame: 1152 for MPEG-1, 576 for MPEG-2 and 2.5.
    int SamplesPerFrame() const { return Samples; }
    int SampleRate() const { return Rate; } // Hz
    // True when the walk reached the end of the file (nothing unindexed after the last frame
    // except at most a tag).
    bool ReachedEnd() const { return Complete; }

    // Length in bytes of the frame whose header is h, with its version and rate in *samples
    // and *rate; 0 when h is not a layer III header with a bitrate.
    static int FrameLength(uint32_t h, int* samples, int* rate);

private:
    std::vector<int64_t> Pos;
    int Samples = 0;
    int Rate = 0;
    bool Complete = false;
};
