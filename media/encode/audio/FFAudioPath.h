#pragma once
// The audio path of a run: decoded audio becomes one packed block at the decoder's rate and
// layout, right after decoding: signed 16-bit from 16-bit (and 8-bit) decoders, float from all
// others. That block is what the audio hook and the volume work on. Float decoders (MP3, AAC)
// stay in float all the way to the encoder: rounding them to 16 bits would add noise that
// LAME then spends bits and time on.
// Each output audio stream then converts it with one resampler into the encoder's format, rate
// and layout, corrects timestamp drift (audio sync), cuts it into encoder frames through a
// sample FIFO and encodes. Runs on the run's thread; when the run has an encoder thread
// (TFFEncoderThread), the encoder frames are handed to it instead of being encoded here.

#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/audio/FFAudioEncode.h"
#include "media/encode/prepare/FFPrepareStreams.h"

#include <functional>

class TFFEncoderThread;

class TFFAudioPath {
public:
    // Writes one encoded packet of an output stream (the loop's muxing step).
    using TWrite = TFFAudioEncode::TWrite;

    TFFAudioPath(const TFFOptionState& s, TFFStreamTables& t, TWrite write)
        : S(s), T(t), Write(std::move(write)) {}

    // The packed format of the block for a decoder's sample format: AV_SAMPLE_FMT_S16 or
    // AV_SAMPLE_FMT_FLT.
    static int BlockFormatFor(int decoderFormat);

    // Converts a decoded frame into ist.Block. Returns the bytes of the block.
    static int ToBlock(TFFInputStream& ist, const AVFrame* frame);

    // Scales count signed 16-bit samples in place; 256 leaves them unchanged. Rounds to
    // nearest and clips to the 16-bit range.
    static void ApplyVolume(int16_t* samples, size_t count, int volume);
    // The same scale for float samples (volume / 256), without clipping.
    static void ApplyVolume(float* samples, size_t count, int volume);
    // Scales the current block of ist, whichever its format.
    static void ApplyVolume(TFFInputStream& ist, int volume);

    // Hands the block of ist (already hooked and scaled) to one output stream fed by it.
    void Output(TFFOutputStream& ost, TFFInputStream& ist);

    // End of input: encodes what the FIFO holds as a last (short or padded) frame and drains
    // the encoder.
    void Flush(TFFOutputStream& ost);

    // Encoder frames go to this thread from now on (null: encoded here again). Set by the loop
    // around the transcode; the thread outlives every call that uses it.
    void SetEncoderThread(TFFEncoderThread* thread) { Handoff = thread; }

private:
    void MakeResampler(TFFOutputStream& ost, const TFFInputStream& ist);
    void EncodeFromFifo(TFFOutputStream& ost, int samples);
    // The encoder thread's frames: a new one each, since the encoder thread may still be
    // encoding the one before.
    void HandFromFifo(TFFOutputStream& ost, int samples);

    const TFFOptionState& S;
    TFFStreamTables& T;
    TWrite Write;
    TFFEncoderThread* Handoff = nullptr;
    std::vector<uint8_t> Padded; // bytes: silence followed by a block, for audio sync
};
