#pragma once
// The engine's records of its opened files: an input's demuxer context with its timestamp
// settings and frame index, an output's muxer context with its bitstream filters. The engine
// (TCustomFFmpeg) holds them; the stages that open and close files work on them alone.

#include "media/AVPtr.h"
#include "media/encode/options/FFOptionState.h"

#include <array>
#include <cstdint>
#include <memory>

class TSharedFrameIndex;

// One opened input file.
struct TInputFile {
    AVInputContextPtr Context;
    int64_t TsOffset = 0; // µs added to every packet timestamp of this input
    std::array<double, ffopt::MaxStreams> TsScale{}; // "itsscale" per stream; 0 = none
    // "loop_input" on a format that cannot loop by itself: the loop starts the input again at
    // its end, later by one duration each time.
    bool Loop = false;
    // Where a positioned read gets the file's frame index; nullptr = built for this run alone.
    std::shared_ptr<TSharedFrameIndex> FrameIndex;
};

// One output file.
struct TOutputFile {
    AVOutputContextPtr Context;
    // Bitstream filter chains of the file's streams, by stream index.
    std::array<TBitstreamFilterChain, ffopt::MaxStreams> BitstreamFilters;
};
