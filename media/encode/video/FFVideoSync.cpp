#include "media/encode/video/FFVideoSync.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// More repeats than this (30 frames a second for an hour) are a timestamp error, not a gap.
constexpr int64_t MaxDuplication = 3600 * 30;

int64_t Median3(int64_t a, int64_t b, int64_t c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The counts and the memory of the last picture, once the frames to write are known.
TVideoSyncResult Finish(TVideoSyncResult r, int64_t maxFrames, bool picture, TVideoSyncState& s) {
    r.Frames = std::max<int64_t>(0, std::min(r.Frames, maxFrames - s.Written));
    r.Nb0 = std::min(r.Nb0, r.Frames);
    std::memmove(s.LastNb0 + 1, s.LastNb0, sizeof(s.LastNb0) - sizeof(s.LastNb0[0]));
    s.LastNb0[0] = r.Nb0;
    if (r.Nb0 == 0 && s.LastDropped)
        ++r.Drops;
    const int64_t kept = (r.Nb0 && s.LastDropped) + (r.Frames > r.Nb0);
    if (r.Frames > kept) {
        if (r.Frames > MaxDuplication) {
            r.TooLarge = true;
            ++r.Drops;
            r.Frames = r.Nb0 = 0;
            return r;
        }
        r.Dups = r.Frames - kept;
    }
    s.LastDropped = r.Frames == r.Nb0 && picture;
    return r;
}

} // namespace

bool ParseVideoSyncMethod(const char* text, int& method) {
    static const struct {
        const char* Name;
        int Method;
    } names[] = {{"auto", VsyncAuto},
                 {"passthrough", VsyncPassthrough},
                 {"cfr", VsyncCfr},
                 {"vfr", VsyncVfr},
                 {"drop", VsyncDrop}};
    for (const auto& n : names)
        if (strcasecmp(text, n.Name) == 0) {
            method = n.Method;
            return true;
        }
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    while (end && *end == ' ')
        ++end;
    if (end == text || !end || *end || number < VsyncAuto || number > VsyncVfr)
        return false;
    method = int(number);
    return true;
}

int ResolveVideoSyncMethod(int method, const char* formatName, bool variableFps, bool noTimestamps,
                           bool singleStreamInput, bool copyTs) {
    if (method != VsyncAuto)
        return method;
    int resolved;
    if (formatName && std::strcmp(formatName, "avi") == 0)
        resolved = VsyncVfr;
    else if (variableFps)
        resolved = noTimestamps ? VsyncPassthrough : VsyncVfr;
    else
        resolved = VsyncCfr;
    if (resolved == VsyncCfr && (singleStreamInput || copyTs))
        resolved = VsyncVsCfr;
    return resolved;
}

TVideoSyncResult VideoSync(int method, double ipts, double duration, int64_t maxFrames,
                           TVideoSyncState& s) {
    TVideoSyncResult r;
    double delta0 = ipts - double(s.SyncPos); // where the picture falls against the clock
    double delta = delta0 + duration;
    if (delta0 < 0 && delta > 0 && method != VsyncPassthrough && method != VsyncDrop) {
        // A picture that starts a little before the clock is taken as starting on it.
        ipts = double(s.SyncPos);
        duration += delta0;
        delta0 = 0;
    }
    switch (method) {
    case VsyncVsCfr:
        if (s.Written == 0 && delta0 >= 0.5) {
            // The time before the first picture is not filled with copies of it.
            delta = duration;
            delta0 = 0;
            s.SyncPos = std::llrint(ipts);
        }
        [[fallthrough]];
    case VsyncCfr:
        if (delta < -1.1) {
            r.Frames = 0;
        } else if (delta > 1.1) {
            r.Frames = std::llrint(delta);
            if (delta0 > 1.1)
                r.Nb0 = std::llrint(delta0 - 0.6);
        }
        break;
    case VsyncVfr:
        if (delta <= -0.6)
            r.Frames = 0;
        else if (delta > 0.6)
            s.SyncPos = std::llrint(ipts);
        break;
    default: // pass-through, drop
        s.SyncPos = std::llrint(ipts);
        break;
    }
    return Finish(r, maxFrames, true, s);
}

TVideoSyncResult VideoSyncFlush(int64_t maxFrames, TVideoSyncState& s) {
    TVideoSyncResult r;
    r.Frames = r.Nb0 = Median3(s.LastNb0[0], s.LastNb0[1], s.LastNb0[2]);
    return Finish(r, maxFrames, false, s);
}
