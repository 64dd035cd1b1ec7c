#pragma once
// Progress reports of a run: at most one per interval while it runs and one final report, each
// either through the progress callback or as a report line in the log.

#include "media/encode/output/FFOutputFile.h"
#include "media/encode/prepare/FFPrepareStreams.h"
#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/video/FFVideoHooks.h"

#include <atomic>
#include <functional>

// The callbacks that leave a run; all are called on the run's thread.
struct TFFLoopCallbacks {
    // Decoded audio block before any output conversion: pts in µs on the source's own
    // timeline, packed samples (signed 16-bit or float, as sampleFormat says) the callee may
    // change in place.
    std::function<void(int64_t pts, uint8_t* samples, int sizeBytes, int sampleRate, int channels,
                       int sampleFormat)>
        AudioHook;
    std::function<void(int fileIndex, int64_t totalDuration, int64_t currentDuration,
                       int64_t totalSize, float bitRate, float quality, int fps, int frameNumber)>
        Progress;
    // The video hooks and previews, with the engine-wide preview settings they read.
    TFFVideoCallbacks Video;
    TFFPreviewControl* Preview = nullptr;
    TFrameHookList* FrameHooks = nullptr;
};

class TFFLoopProgress {
public:
    TFFLoopProgress(const TFFOptionState& s, const std::vector<TOutputFile>& outputs,
                    const TFFStreamTables& t, const TFFLoopCallbacks& callbacks, int64_t interval)
        : S(s), Out(outputs), T(t), Callbacks(callbacks), Interval(interval) {}

    void Start(); // the run begins: the interval counts from now
    // An intermediate report when strictly more than the interval has passed since the last.
    void Tick(int fileIndex);
    // The final report (file index -1) and the statistics line.
    void Final();
    // Seconds of output written so far: the shortest stream's (at least 0.01).
    double OutputTime() const;
    // While an encoder thread writes the file, its size is read from what that thread
    // publishes, not from the file's I/O context (null: from the context again).
    void SetPublishedSize(const std::atomic<int64_t>* size) { PublishedSize = size; }

private:
    void Report(int fileIndex, bool final);

    const TFFOptionState& S;
    const std::vector<TOutputFile>& Out;
    const TFFStreamTables& T;
    const TFFLoopCallbacks& Callbacks;
    int64_t Interval;       // µs
    int64_t RunStart = 0;   // µs, monotonic clock
    int64_t LastReport = 0; // µs, monotonic clock
    const std::atomic<int64_t>* PublishedSize = nullptr; // bytes
};
