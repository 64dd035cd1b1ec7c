#pragma once
// The video half of a playback: the video thread decodes the packets of the video queue, skips
// some when pictures are late (TFrameSkip), runs the rest through the player's video filters when
// it has any (TVideoFilterGraph), and queues them in a queue of two pictures (planar YUV 4:2:0,
// even sizes), each with the wall-clock time at which it is due; the play thread's refresh timer
// takes them off and shows them through the display.
//
// Owner: TPlayback (through the read thread, which opens and closes the stream). StartThread
// starts the video thread; Close aborts it (the queue's abort and Abort() wake every wait) and
// joins it once.

#include "media/AVPtr.h"
#include "media/play/TFrameSkip.h"
#include "media/play/TVideoFilterGraph.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TPlaybackState;
class TPlayerDisplay;

class TVideoDecoder {
public:
    explicit TVideoDecoder(TPlaybackState& playback);
    ~TVideoDecoder(); // Close()
    TVideoDecoder(const TVideoDecoder&) = delete;
    TVideoDecoder& operator=(const TVideoDecoder&) = delete;

    int Open(AVStream* stream); // 0 or -1 ("avcodec_open() failed." queued on the log)
    // False when no thread could be made.
    bool StartThread();
    void Abort();
    void Close();

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Seconds; the picture on show plus the time since, or its time while paused.
    double Clock(bool paused, double mediaStart) const;
    // The play thread's refresh: shows a due picture (consuming it when asked). False when no
    // position should be reported this time (nothing due yet, or a picture was dropped).
    bool Refresh(bool consume, TPlayerDisplay* display);
    // Un-pausing: the frame timer moves on by the length of the pause.
    void Resumed(bool inputCannotPause);
    // Always true with SDL 2: the display makes its texture when it shows a picture.
    bool AllocatePicture() { return true; }

private:
    struct TPicture {
        AVFramePtr Frame;  // YUV 4:2:0
        double Pts = 0;    // s
        double Target = 0; // s of the wall clock
        int64_t Pos = -1;
    };

    void Run();
    bool DecodeAndQueue(const AVPacket* pkt); // false when the thread must end
    // Through the filters (when there are any) into the picture queue; false when aborted.
    bool Filter(AVFrame* frame);
    bool OutputPicture(AVFrame* frame, double pts);
    // The frame duration, from the stream's rate.
    void ChooseFrameDuration(AVStream* stream);
    // Says so when the decoder's rate disagrees with the stream's.
    void CheckCodecRate();
    int QueuePicture(AVFrame* frame, double pts, int64_t pos);
    double ChooseTimestamp(const AVFrame* frame) const;
    void Flush();
    void RunHook(AVFrame* picture, double pts);

    TPlaybackState& FPlayback;
    AVCodecContextPtr FCodec;
    AVFramePtr FFrame;
    SwsContext* FSws = nullptr; // cached by sws_getCachedContext; freed in Close
    SwsContext* FToRGB = nullptr;
    SwsContext* FFromRGB = nullptr;
    AVRational FTimeBase{1, 1};
    double FFrameDuration = 0.04; // s
    AVRational FStreamRate{0, 1};
    int FStreamIndex = -1;
    int FWidth = 0, FHeight = 0;
    std::thread FThread;
    std::atomic<bool> FAborted{false};
    std::atomic<bool> FClosed{false};

    // Video thread only.
    TVideoFilterGraph FFilters;
    AVFramePtr FFiltered;        // made only when there are filters
    bool FFiltersFailed = false; // logged once; pictures are then dropped, packets still taken
    bool FRateChecked = false;
    double FVideoClock = 0;    // s, pts of the next picture when its own is unknown
    double FLastFramePts = -1; // s
    double FLastFrameDelay = 0.04;

    std::mutex FPictLock; // guards the picture queue (FPics' timing fields, indexes, FSize) and
                          // FFrameTimer
    std::condition_variable FPictChanged;
    TPicture FPics[2];
    int FRead = 0, FWrite = 0, FSize = 0;
    double FFrameTimer = 0; // s of the wall clock
    TFrameSkip FSkip;

    // Written by the play thread's refresh and pause, read by the clocks of any thread.
    std::atomic<double> FCurPts{0}, FCurDrift{0};
    std::atomic<int64_t> FCurPos{-1};
};
