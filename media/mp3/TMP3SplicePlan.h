#pragma once
// Where a smart cut with fades re-encodes and where it copies, on the source's frame grid. The
// fade-in and fade-out are re-encoded; every whole source frame between them is copied byte for
// byte, so the copied frames must keep their positions: a re-encoded frame k has to decode to
// the samples of source frame position (its base + k). That fixes where the encoder's input
// starts, given the encoder's lead (its own delay plus the decoder's 529 samples: what LAME
// through avcodec reports as initial_padding).
//
// Positions are in frames of the source's raw decoded stream (sample 0 = the first audio frame's
// first output sample, before the gapless trim); samples are the source's decoded samples (what a
// gapless decoder plays, from 0), as the frame copier counts them.
//
// Owns nothing; a value type. Threads: any.

#include <cstdint>

struct TMP3SplicePlan {
    // Inputs.
    int SamplesPerFrame = 1152;
    int64_t Skip = 0;         // decoded sample 0 is raw sample Skip (encoder delay + 529)
    int EncoderLead = 1105;   // raw output sample of the encoder's input sample 0

    // The head: re-encoded frames at positions HeadBase .. HeadSplice - 1, the output's first
    // frames. The encoder is fed decoded source samples from HeadInput on (negative: silence
    // first), faded by the cut's law, and past HeadSplice with the source as it is, so that the
    // last kept granule's overlap matches the copied frame after it.
    int64_t HeadBase = 0;
    int64_t HeadSplice = 0; // the first copied frame
    int64_t HeadInput = 0;

    // The tail: source frames HeadSplice .. TailSplice - 1 are copied; re-encoded frames at
    // positions TailSplice .. TailLast follow. Its encoder starts at position TailBase (a few
    // frames early, so its first kept frame is primed with the source before the splice) and is
    // fed from TailInput on; its frames before TailSplice are dropped.
    int64_t TailBase = 0;
    int64_t TailSplice = 0;
    int64_t TailLast = 0;
    int64_t TailInput = 0;

    // For the output's LAME tag (its first audio frame being the head's first).
    int Delay = 0;
    int Padding = 0;

    // Plans decoded samples [start, end) with fades of fade samples at each end. False when the
    // tag cannot express the trim.
    bool Make(int64_t start, int64_t end, int64_t fade);
    // Whether a whole frame lies between the fades. When none does, the range is re-encoded
    // whole: frames HeadBase .. TailLast from the head's encoder.
    bool Copies() const { return HeadSplice < TailSplice; }

    // Output frames: head, copied and tail.
    int64_t Frames() const { return TailLast - HeadBase + 1; }
};
