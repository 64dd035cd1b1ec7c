#pragma once
// The shared record of one playback: what the read thread, the decoders, the audio output and
// the display all read and write. TPlayback, the read stage, owns it (it is its base) together
// with the parts; the parts see only this record and the player's TPlayerHost, never TPlayback
// nor the player component, so each part includes only what lies below it in the order the data
// flows: read (TPlayback) -> decode (TSubtitleDecoder, TVideoDecoder, TAudioOutput's decoder) ->
// output (TAudioOutput's device) -> display (TPlayerDisplay).
//
// Threads: the members say who writes them; atomics may be read by any thread of the playback.

#include "media/AVPtr.h"
#include "media/play/FFPlayTypes.h"
#include "media/play/TPacketQueue.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>

class TPlayerHost;
class TPlayerLogQueue;
class TSubtitleDecoder;
class TSubtitleOverlay;
class TAudioDisplaySource;

class TPlaybackState {
public:
    TPlaybackState(TPlayerHost& host, const TPlaybackOptions& options, const QString& fileName,
                   bool startPaused, uint64_t generation);
    TPlaybackState(const TPlaybackState&) = delete;
    TPlaybackState& operator=(const TPlaybackState&) = delete;

    // Clocks in seconds; NaN when the clock has nothing to tell yet.
    virtual double MasterClock() const = 0;
    // The audio callback has moved the clock on.
    virtual void ClockMoved() = 0;

    TPlayerHost& Host;
    TPlayerLogQueue& Log;
    const TPlaybackOptions Opt;
    const QString FileName;
    const uint64_t Generation;

    std::atomic<bool> AbortRequest{false};
    std::atomic<int> Paused{0};
    std::atomic<int> OpenStatus{0}; // 0 opening, 1 opened, -1 failed
    QString OpenError;              // written by the read thread before OpenStatus -1

    // Written by the read thread before OpenStatus becomes 1, constant afterwards.
    int64_t MediaStart = 0;                    // µs; 0 when unknown
    int64_t ContextStartTime = AV_NOPTS_VALUE; // µs, as the demuxer reports it
    int64_t MediaDuration = -1;                // µs; -1 when unknown
    int64_t AudioStreamDuration = -1;          // µs
    bool ImageSequence = false;
    bool CaptureDevice = false;
    QString FormatName;
    std::atomic<int> AudioIndex{-1}, VideoIndex{-1}, SubtitleIndex{-1};
    std::atomic<int> AudioDisplayMode{0}; // 0 none, 1 waveform, 2 spectrum

    // Seek request: the fields first, then SeekReq with release order.
    std::atomic<int> SeekReq{0};
    int SeekFlags = 0;
    int64_t SeekTarget = 0, SeekRel = 0;
    std::atomic<int> ReadPauseResult{0};
    std::atomic<int> PausedBeforeSeek{0};
    std::atomic<int> SeekCompleted{0};
    std::atomic<int> FlushSeen{0};
    std::atomic<int> OpenedPaused{0};

    std::atomic<bool> EndReached{false};
    std::atomic<bool> EndSignalled{false};
    // Play thread only: since when the input has ended with no clock ever set (none: not so).
    std::chrono::steady_clock::time_point UnplayableSince{};
    std::atomic<bool> InRead{false};

    TPacketQueue AudioQ, VideoQ, SubtitleQ;

    // Set by the read thread while it opens the streams, before the open is reported; read by
    // every thread of the playback afterwards.
    TSubtitleDecoder* Subtitles() const { return FSubtitles.load(std::memory_order_acquire); }
    // What the display draws over pictures and from the sound (null when there is none).
    TSubtitleOverlay* SubtitleOverlay() const {
        return FSubtitleOverlay.load(std::memory_order_acquire);
    }
    TAudioDisplaySource* AudioDisplaySource() const {
        return FAudioDisplaySource.load(std::memory_order_acquire);
    }
    // The video stream's picture size in pixels (0 without video); set with the stream.
    std::atomic<int> PictureWidth{0}, PictureHeight{0};

protected:
    ~TPlaybackState() = default;

    std::atomic<TSubtitleDecoder*> FSubtitles{nullptr};
    std::atomic<TSubtitleOverlay*> FSubtitleOverlay{nullptr};
    std::atomic<TAudioDisplaySource*> FAudioDisplaySource{nullptr};
};
