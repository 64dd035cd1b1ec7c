#include "media/mp3/TMP3SplicePlan.h"

namespace {

// The decoder's own delay, which the LAME tag's delay and padding leave out.
constexpr int DecoderDelay = 529;

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

int64_t CeilDiv(int64_t a, int64_t b) {
    return -FloorDiv(-a, b);
}

} // namespace

bool TMP3SplicePlan::Make(int64_t start, int64_t end, int64_t fade) {
    const int spf = SamplesPerFrame;
    if (spf <= 0 || start < 0 || start >= end || fade <= 0 || EncoderLead < DecoderDelay)
        return false;
    const int64_t startRaw = Skip + start, endRaw = Skip + end;

    // The encoder's first EncoderLead output samples are its priming: they must lie before the
    // range, so the head starts on the last frame that leaves room for them.
    HeadBase = FloorDiv(startRaw - EncoderLead, spf);
    HeadInput = HeadBase * spf + EncoderLead - Skip;
    // Copied frames decode to the source unfaded: the first begins once the fade-in has ended,
    // the last ends before the fade-out begins.
    HeadSplice = CeilDiv(startRaw + fade, spf);
    TailSplice = FloorDiv(endRaw - fade, spf);
    TailLast = CeilDiv(endRaw, spf) - 1;
    // One whole frame of the source's samples goes into the tail encoder before the splice
    // besides its priming, so the first kept granule overlaps real audio as the source's does.
    TailBase = TailSplice - (CeilDiv(EncoderLead, spf) + 1);
    TailInput = TailBase * spf + EncoderLead - Skip;

    const int64_t delay = startRaw - HeadBase * spf - DecoderDelay;
    const int64_t padding = (TailLast + 1) * spf - endRaw + DecoderDelay;
    if (delay < 0 || delay > 4095 || padding < 0 || padding > 4095)
        return false;
    Delay = int(delay);
    Padding = int(padding);
    return true;
}
