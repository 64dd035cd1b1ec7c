#include "media/encode/video/FFVideoSync.h"

#include <cmath>

TVideoSyncResult VideoSync(int method, bool variableFps, double ipts, int64_t& syncPos) {
    TVideoSyncResult r;
    if (method == 0) {
        syncPos = std::lrint(ipts);
        return r;
    }
    const double vdelta = ipts - double(syncPos);
    if (vdelta < -1.1) {
        r.Frames = 0;
    } else if (method == 2 || (method < 0 && variableFps)) {
        if (vdelta <= -0.6)
            r.Frames = 0;
        else if (vdelta > 0.6)
            syncPos = std::lrint(ipts);
    } else if (vdelta > 1.1) {
        // The picture covers its own slot and every empty slot before it: written there, the
        // output keeps the input's timing instead of staying a frame behind after each gap.
        r.Frames = int(std::lrint(vdelta)) + 1;
    }
    if (r.Frames == 0)
        r.Drop = true;
    else if (r.Frames > 1)
        r.Dups = r.Frames - 1;
    return r;
}
