#pragma once
// The subtitle half of a playback: the subtitle thread decodes the packets of the subtitle queue
// into a queue of at most four bitmap subtitles, their palettes already in YUVA; the play thread's
// refresh drops the ones whose time is over and blends the one due into the picture it shows.
//
// Owner: TPlayback (through the read thread, which opens and closes the stream, and only with a
// video stream to show them on). StartThread starts the subtitle thread; Close aborts it (the
// queue's abort and Abort() wake every wait) and joins it once.
//
// What crosses between threads: the queued subtitles, under FLock; the subtitle thread only
// appends, the play thread only drops and reads.

#include "media/AVPtr.h"
#include "media/play/TPlayerDisplay.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

class TPlaybackState;

class TSubtitleDecoder : public TSubtitleOverlay {
public:
    static constexpr int MaxQueued = 4;

    explicit TSubtitleDecoder(TPlaybackState& playback);
    ~TSubtitleDecoder(); // Close()
    TSubtitleDecoder(const TSubtitleDecoder&) = delete;
    TSubtitleDecoder& operator=(const TSubtitleDecoder&) = delete;

    int Open(AVStream* stream); // 0 or -1 ("avcodec_open() failed." queued on the log)
    // False when no thread could be made.
    bool StartThread();
    void Abort();
    void Close();

    // The play thread, for the picture of time videoPts (s): drops the first subtitle when its
    // display time is over or the second one's has begun.
    void Expire(double videoPts);
    // The picture to show: picture itself when no subtitle with rectangles is due at videoPts,
    // else scratch holding a copy of it with the subtitle blended in (picture again when no copy
    // can be made).
    const AVFrame* Overlay(const AVFrame* picture, double videoPts, AVFrame* scratch) override;
    int Queued();

private:
    struct TSubtitlePicture {
        double Pts = 0; // s
        AVSubtitle Sub{};
    };

    void Run();
    void FreeAll(); // caller holds FLock

    TPlaybackState& FPlayback;
    AVCodecContextPtr FCodec;
    AVRational FTimeBase{1, 1};
    std::thread FThread;
    std::atomic<bool> FAborted{false};
    std::atomic<bool> FClosed{false};

    std::mutex FLock; // guards FQueue
    std::condition_variable FChanged;
    std::deque<TSubtitlePicture> FQueue;
};

// Blending of one bitmap rectangle (palette entries packed as alpha, Y, U, V from the highest
// byte down) into a planar YUV 4:2:0 picture, clipped to the picture. Exposed for its tests.
void BlendSubtitleRect(AVFrame* picture, const AVSubtitleRect* rect);
// An RGBA palette entry of the decoder (0xAARRGGBB) in YUVA, studio range.
uint32_t PaletteRgbaToYuva(uint32_t argb);
