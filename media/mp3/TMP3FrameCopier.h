#pragma once
// Writes a range of an MP3 as a new MP3 by copying its frames byte for byte: no decoding, no
// encoding. The range is given in the source's decoded samples (what a gapless decoder plays of
// it, from 0), and the output decodes to exactly those samples:
//
// - Frames are copied from a little before the range's first frame: a layer III frame decodes
//   right only after the granules before it (the MDCT overlap and the synthesis filter's
//   memory), so one frame (MPEG-1, two granules) or two (MPEG-2 and 2.5) go first.
// - The first copied frame's main data may begin up to 511 bytes back, in frames that are not
//   copied. A silent frame goes before it that carries exactly those bytes of the source at the
//   end of its main data area (its own granules spend no bits), so the reservoir the first frame
//   reads is the source's. The same silent frame stands in for the frames before the start of a
//   file whose gapless information does not reach back far enough.
// - A fresh Info frame with a LAME tag tells decoders how many samples of the first frames (the
//   preroll) and of the last one to drop, so the decoded length is the range's to the sample.
//
// The source's ID3v2 tag (with its cover picture) and ID3v1 tag are copied unchanged when asked.
//
// Owns its frame index of the source; the output descriptor stays the caller's. Threads: one
// object is used by one thread; Open builds the index, then several Write calls may cut pieces.

#include "media/mp3/FFMP3FrameIndex.h"
#include "media/mp3/TMP3Header.h"

#include <QString>

#include <cstdint>
#include <vector>

class TMP3FrameCopier {
public:
    TMP3FrameCopier() = default;
    ~TMP3FrameCopier();
    TMP3FrameCopier(const TMP3FrameCopier&) = delete;
    TMP3FrameCopier& operator=(const TMP3FrameCopier&) = delete;

    // Reads the source's tags and frame positions. False with why set when its frames cannot be
    // copied this way: not MPEG audio layer III, free-format bit rate, no frames. why is a
    // sentence for the user ("the source is not MPEG audio layer III").
    bool Open(const QString& fileName, QString& why);

    int SampleRate() const { return FHeader.SampleRate(); }
    int SamplesPerFrame() const { return FHeader.SamplesPerFrame(); }
    // Samples a gapless decoder makes of the whole source.
    int64_t DecodedSamples() const { return FEndRaw - FSkip; }

    // Writes decoded samples [startSample, endSample) as a complete MP3 to fd (an empty file
    // open for writing and positioned at 0). False with error set when the range is empty or
    // outside the audio, or when reading or writing fails; what was written is then garbage the
    // caller discards.
    bool Write(int fd, int64_t startSample, int64_t endSample, bool keepTags, QString& error) const;

    // What Write would make of a range, without writing: for tests and the log.
    struct TPlan {
        int64_t FirstFrame = 0; // the first copied source frame (from 0, the first audio frame)
        int64_t LastFrame = 0;  // the last one
        std::vector<unsigned char> Carrier; // the silent frame before them; empty when none
        int Delay = 0, Padding = 0;         // for the LAME tag
    };
    bool Plan(int64_t startSample, int64_t endSample, TPlan& plan, QString& error) const;

    // For a cut whose ends are re-encoded (the caller makes those frames).
    using TFrame = std::vector<unsigned char>;
    int64_t FrameCount() const { return FIndex.FrameCount(); }
    // Decoded sample 0 is raw sample Skip() of the first audio frame.
    int64_t Skip() const { return FSkip; }
    // The header of source frame `frame`; an invalid one when it cannot be read.
    TMP3Header HeaderOf(int64_t frame) const;
    // Source frames first..last (clamped to the audio), whole, in order.
    bool ReadFrames(int64_t first, int64_t last, std::vector<TFrame>& frames) const;
    // The bytes of main data before source frame `frame` that its main_data_begin reaches back
    // to, oldest first: what must end the reservoir of whatever goes before it.
    bool ReservoirBefore(int64_t frame, std::vector<unsigned char>& bytes) const;
    // Writes a complete MP3 as Write does, of head, the source's frames first..last copied, and
    // tail, with a LAME tag of delay and padding.
    bool WriteSpliced(int fd, const std::vector<TFrame>& head, int64_t first, int64_t last,
                      const std::vector<TFrame>& tail, int delay, int padding, bool keepTags,
                      QString& error) const;

private:
    int FFd = -1; // the source, open for reading from Open to the destructor
    TMP3FrameIndex FIndex;
    TMP3Header FHeader;          // the first audio frame's
    int64_t FSkip = 0;           // decoded sample 0 is raw sample FSkip of the first audio frame
    int64_t FEndRaw = 0;         // where the decoded audio ends, in raw samples
    int64_t FFileSize = 0;       // bytes
    std::vector<unsigned char> FId3v2; // the source's ID3v2 tag as it is; empty when none
    std::vector<unsigned char> FId3v1; // its 128-byte ID3v1 tag; empty when none

    int64_t FrameEnd(int64_t frame) const; // byte position after source frame `frame`
    bool ReadAt(int64_t at, unsigned char* to, int64_t n) const;
};
