#pragma once
// media/mp3/ — the MP3 bitstream, read without a decoder: frame headers and the Info tag
// (FFMP3FrameIndex, TMP3Header), the frame index shared by the tasks of a split
// (FFSharedFrameIndex), layer III side information (TMP3SideInfo), the Info/LAME tag writer
// (TMP3InfoTag) and the smart cut's frame copier (TMP3FrameCopier). The probe (media/decode),
// the engine (media/encode) and the smart cut (job/SmartCut) use it from here.
//
// May include: media/ (the foundation) and Qt Core. Never another media part.
//
// Threads: none of its own; an index is built by one thread and then only read (below).
//
// Byte positions of the MPEG audio frames of an MP3, found by walking the frame headers. A cut
// deep into a long file uses it to start reading near the range instead of letting the demuxer
// parse every frame before it; the exact timestamp of frame k is the first frame's plus k frame
// durations, because every frame of one stream holds the same number of samples.
//
// A file whose encoder wrote an info tag with the frame and byte counts can be indexed from a
// point near the wanted frame to its end: the frames after that point are walked and counted, and
// those before it are the tag's count less them. That trusts the tag for the frames not walked,
// so it is done only when the walk ends exactly where the tag says the audio ends, at a frame
// boundary, and the bytes not walked are a plausible size for the frames they must hold. A file
// whose length disagrees with its tag (cut short, spliced, grown) is walked from its start.
//
// Threads: one thread builds an index; a built one is only read, so several may read it at once
// (TSharedFrameIndex hands one to the tasks of a split).

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
    //
    // wantedFrame is the number (from 0, the frame at firstFrame) of the first frame the caller
    // needs; with 0 every frame is indexed. Otherwise the index may leave out frames before it
    // and start at FirstNumber() (counted back from the end as above); a wantedFrame past the end
    // asks for the last frames only.
    bool Build(const QString& fileName, int64_t firstFrame, int64_t wantedFrame = 0);

    // Byte offset of each indexed frame, ascending; Positions()[i] is frame FirstNumber() + i.
    const std::vector<int64_t>& Positions() const { return Pos; }
    // Number of the first indexed frame: 0 when the walk began at firstFrame.
    int64_t FirstNumber() const { return Base; }
    // Frames from firstFrame to the end of the last indexed one.
    int64_t FrameCount() const { return Base + int64_t(Pos.size()); }
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
    // Where the decoder's output ends, in samples from the start of the first frame: the end of
    // the last indexed frame, less the padding the demuxer marks for dropping on the last ones.
    int64_t AudioEndSample() const;

    // Length in bytes of the frame whose header is h, with its version and rate in *samples
    // and *rate; 0 when h is not a layer III header with a bitrate.
    static int FrameLength(uint32_t h, int* samples, int* rate);

    // Reads an info tag ("Xing" or "Info" with a frame count and an encoder block from LAME or
    // FFmpeg) in the frame at frame[0..size), whose header is h: where the padding starts and
    // the tagged samples, as above. False when the frame holds no such tag.
    // *taggedBytes gets the tag's byte count (the audio's, the tag's own frame included), or -1
    // when the tag gives none.
    static bool ReadInfoTag(const unsigned char* frame, int size, uint32_t h, int64_t& paddingStart,
                            int64_t& taggedSamples, int64_t* taggedBytes = nullptr);

private:
    class TReader;

    std::vector<int64_t> Pos;
    int64_t Base = 0;
    int Samples = 0;
    int Rate = 0;
    bool Complete = false;
    int64_t FirstPadding = -1;
    int64_t TagSamples = -1;
    int64_t TagEnd = -1; // byte position where the tag says the audio ends; -1 unknown

    // Looks for the info tag in the frame that ends right at firstFrame.
    void FindInfoTag(TReader& file, int64_t firstFrame, uint32_t firstHeader);
    // Appends the frames from at on while they are like first; returns where the run ends.
    int64_t Walk(TReader& file, int64_t at, uint32_t first, std::vector<int64_t>& out) const;
    // Indexes from near wantedFrame to the end, counting back from the tag; false (and nothing
    // indexed) when the file does not agree with its tag or the walk would not be shorter.
    bool BuildFromEnd(TReader& file, int64_t firstFrame, uint32_t first, int64_t wantedFrame);
};
