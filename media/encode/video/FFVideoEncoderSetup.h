#pragma once
// Encoder parameters of a new output video stream, from the option state: frame rate, size,
// aspect, pixel format, quality, intra-only, matrices, rate-control overrides, pass flags and
// header placement. Runs on the caller's thread when the output is created.

#include "media/encode/options/FFOptionState.h"

#include <string>
#include <vector>

struct TRcOverrideEntry {
    int StartFrame = 0;
    int EndFrame = 0;
    int Q = 0; // >= 1: fixed quantiser; <= 0: quality factor -Q / 100
};

// "start,end,q/start,end,q/...": raises the engine exception "error parsing rc_override" on an
// entry with fewer than three numbers.
std::vector<TRcOverrideEntry> ParseRcOverride(const std::string& text);

// Fills the encoder context c (of encoder, which may be null when chosen later by codec id) from
// the option state. The caller resets the per-stream options afterwards.
void ApplyVideoEncoderOptions(const TFFOptionState& s, const AVCodec* encoder, AVCodecContext* c);
