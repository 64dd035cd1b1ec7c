#pragma once
// The smart cut: a range of an MP3 written by copying its frames instead of decoding and
// re-encoding them (media/mp3's TMP3FrameCopier), for cuts at full volume. With fades, only the
// fades are re-encoded (LAME, at the source's shape and bit rate) on the source's frame grid and
// every whole frame between them is copied; see TMP3SplicePlan.
// It is exact to the sample like the full re-encode and leaves the audio as it was, bit for bit,
// in a fraction of the time. Where it cannot apply, the caller falls back to the full re-encode
// and says why: FallbackReason names the options it cannot honour, Open the sources.
//
// The output goes through a temporary file (TAtomicFile) and takes its name only when complete,
// so a failed or killed cut leaves whatever had that name as it was.
//
// Owns the copier, which holds the source open from Open to the destructor. Threads: the
// caller's only; a cut is short (it copies bytes, and re-encodes at most the fades and a few
// frames around them), so it runs on the caller's thread.

#include "media/mp3/TMP3FrameCopier.h"

#include <QString>

#include <cstdint>

class TSmartCut {
public:
    // Why options rule the smart cut out ("" when they do not): only a cut at full volume
    // (slider 100) copies frames.
    static QString FallbackReason(int volumePercent, int64_t fadeUs);

    // Reads the source's frames; false with why set when they cannot be copied.
    bool Open(const QString& source, QString& why);
    // Writes the range [startUs, endUs) (µs of the decoded source; an end past the audio's
    // end is taken as that end) to output, with fades of fadeUs at both ends (0: none). An
    // existing output is replaced only with replace. False with error set; nothing is left under
    // output's name then.
    bool Cut(const QString& output, int64_t startUs, int64_t endUs, int64_t fadeUs, bool keepTags,
             bool replace, QString& error) const;

    // The decoded sample at us, rounded to the nearest, as the full re-encode trims its range.
    static int64_t SampleAt(int64_t us, int rate);

    const TMP3FrameCopier& Copier() const { return FCopier; }

private:
    TMP3FrameCopier FCopier;

    using TFrame = TMP3FrameCopier::TFrame;
    // Re-encodes the source's decoded samples [from, to) (zeros outside the audio) under the
    // cut's fade law with LAME, and keeps the encoder's frames keepFirst..keepLast. Frame
    // positions base.. of the source give the bit rate.
    bool Encode(int64_t from, int64_t to, int64_t keepFirst, int64_t keepLast, int64_t base,
                int64_t startUs, int64_t endUs, int64_t fadeUs, std::vector<TFrame>& frames,
                QString& error) const;
    // The whole of a cut with fades, written to fd.
    bool WriteFaded(int fd, int64_t startUs, int64_t endUs, int64_t fadeUs, bool keepTags,
                    QString& error) const;
};
