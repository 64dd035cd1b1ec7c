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
    // Where the encoder's padding at the end begins, in samples from the start of the first
    // indexed frame, as the demuxer counts it from the encoder's info tag (the frame just before
    // the first one); -1 when the file has no such tag, and then nothing at the end is dropped.
    // A reader that positions itself must drop those samples itself: the demuxer only does so
    // for timestamps it counted from the file's start.
    int64_t PaddingStart() const { return FirstPadding; }
    // The tag's frame count times the samples per frame: packets starting there or later are
    // left alone, as the demuxer leaves them. -1 without a tag.
    int64_t TaggedSamples() const { return TagSamples; }

    // Length in bytes of the frame whose header is h, with its version and rate in *samples
    // and *rate; 0 when h is not a layer III header with a bitrate.
    static int FrameLength(uint32_t h, int* samples, int* rate);

    // Reads an info tag ("Xing" or "Info" with a frame count and an encoder block from LAME or
    // FFmpeg) in the frame at frame[0..size), whose header is h: where the padding starts and
    // the tagged samples, as above. False when the frame holds no such tag.
    static bool ReadInfoTag(const unsigned char* frame, int size, uint32_t h, int64_t& paddingStart,
                            int64_t& taggedSamples);

private:
    std::vector<int64_t> Pos;
    int Samples = 0;
    int Rate = 0;
    bool Complete = false;
    int64_t FirstPadding = -1;
    int64_t TagSamples = -1;

    // Looks for the info tag in the frame that ends right at firstFrame.
    void FindInfoTag(class QFile& file, int64_t firstFrame, uint32_t firstHeader);
};
