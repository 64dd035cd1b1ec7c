#pragma once
// Progress reports of a run: at most one per interval while it runs and one final report, each
// either through the progress callback or as a report line in the log.

#include "media/encode/FFLoopSettings.h"
#include "media/encode/FFOutputFile.h"
#include "media/encode/FFPrepareStreams.h"

class TFFLoopProgress {
public:
    TFFLoopProgress(const TFFLoopSettings& s, const TFFOutputList& outputs,
                    const TFFStreamTables& t, const TFFLoopCallbacks& callbacks, int64_t interval)
        : S(s), Out(outputs), T(t), Callbacks(callbacks), Interval(interval) {}

    void Start(); // the run begins: the interval counts from now
    // An intermediate report when strictly more than the interval has passed since the last.
    void Tick(int fileIndex);
    // The final report (file index -1) and the statistics line.
    void Final();

private:
    void Report(int fileIndex, bool final);
    double OutputTime() const;

    const TFFLoopSettings& S;
    const TFFOutputList& Out;
    const TFFStreamTables& T;
    const TFFLoopCallbacks& Callbacks;
    int64_t Interval;       // µs
    int64_t RunStart = 0;   // µs, monotonic clock
    int64_t LastReport = 0; // µs, monotonic clock
};
