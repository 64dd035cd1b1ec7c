#pragma once
// The peaks of a whole file's audio, for drawing its waveform at any zoom.
//
// The samples of both channels are summarised in bins of BinSamples samples on the cut's
// timeline (sample 0 is the first sample a decode from the file's start keeps, as the engine
// and ffmpeg count it): each bin keeps the smallest and largest sample value of either channel,
// as the decoder's floats (full scale is ±1; a decoder may go past it, which is clipping). A
// bin starts as unknown, may get an estimate (the overview, made from the MP3 frames without
// decoding) and ends exact once a decode has covered it; an estimate never replaces an exact
// value. A column of a drawing covers whole bins, so its min and max are the true extremes of
// the samples in those bins. Groups of GroupBins bins keep their own extremes too, so a column
// of a long file reads a few dozen groups rather than thousands of bins.
//
// Threads: plain data, no locking; the window's main thread owns the one it draws.

#include <cstdint>
#include <vector>

struct TPeakRange {
    float Min = 0, Max = 0; // sample values, full scale ±1
    bool Known = false;     // some bin of the span has a value (estimate or exact)
    bool Exact = false;     // every bin of the span is exact
};

class TWavePeaks {
public:
    static constexpr int BinSamples = 256; // samples per bin: 5.8 ms at 44.1 kHz
    static constexpr int GroupBins = 64;

    // Empties the peaks for audio of totalSamples samples at rate Hz.
    void Reset(int rate, int64_t totalSamples);
    int Rate() const { return FRate; }
    int64_t TotalSamples() const { return FTotal; }
    int64_t BinCount() const { return int64_t(FMin.size()); }
    // The audio's length, µs; 0 without audio.
    int64_t DurationUs() const;

    // Sets bins first.. from the arrays (of equal length); bins past the end are ignored. An
    // estimate leaves exact bins alone.
    void Store(int64_t first, const std::vector<float>& mins, const std::vector<float>& maxs,
               bool exact);

    // The extremes over the bins that hold samples [from, to) (clamped to the audio).
    TPeakRange Range(int64_t from, int64_t to) const;
    // Bins that are exact, and bins that hold a value at all, of BinCount().
    int64_t ExactBins() const { return FExactCount; }
    int64_t KnownBins() const { return FKnownCount; }

private:
    int FRate = 0;
    int64_t FTotal = 0;
    std::vector<float> FMin, FMax;
    // Per bin: 0 unknown, 1 estimate, 2 exact.
    std::vector<uint8_t> FState;
    int64_t FExactCount = 0, FKnownCount = 0;
    // Per group of GroupBins bins: the extremes of its known bins and how many are known/exact.
    std::vector<float> FGroupMin, FGroupMax;
    std::vector<uint16_t> FGroupKnown, FGroupExact;
};
