#pragma once
// One playback of one file: the record the player keeps while a file is open.
//
// Threads it owns: the read thread (demux, seeks, end of input; started by Open, joined by
// Close). The refresh ticks are timed by the player's play thread (TPlayThread), which reads
// their interval here. Through the streams it opens it also owns the video thread (TVideoDecoder),
// the subtitle thread (TSubtitleDecoder) and SDL's audio device (TAudioOutput), all opened and
// closed by the read thread. Nothing of it
// is freed while one of those threads runs: Close sets the abort request, aborts the queues and
// joins.
//
// What crosses between threads: packets through the three TPacketQueues; the seek request
// (fields written by the requesting thread, then the request flag with release order, consumed
// by the read thread); pause, abort and end flags as atomics; clocks as atomics published by
// their one writer. Log lines go to the player's TPlayerLogQueue, never straight to the log
// bridge, because the read and audio threads must never wait for the main thread.

#include "media/AVPtr.h"
#include "media/play/FFPlayTypes.h"
#include "media/play/TPacketQueue.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <memory>
#include <thread>

class TCustomPlayer;
class TAudioOutput;
class TVideoDecoder;
class TSubtitleDecoder;
class TPlayerLogQueue;

class TPlayback {
public:
    TPlayback(TCustomPlayer& player, const TPlaybackOptions& options, const QString& fileName,
              bool startPaused, uint64_t generation);
    ~TPlayback(); // Close()
    TPlayback(const TPlayback&) = delete;
    TPlayback& operator=(const TPlayback&) = delete;

    // Starts the read thread and waits (pumping on the main thread) until it has opened the file
    // and its streams. False with error set.
    bool Open(QString& error);
    // Stops and joins every thread of the playback and closes its streams. Idempotent.
    void Close();

    // The pause toggle. Waits at most 250 ms for a pending seek and (with video) for a frame.
    void TogglePause();
    // Ignored (false) while another request is pending. flags: 1 backward, 2 bytes, 4 any, 8 frame.
    bool RequestSeek(int flags, int64_t target, int64_t relativeHint);

    // Clocks in seconds; NaN when the clock has nothing to tell yet.
    double AudioClock() const;
    double VideoClock() const;
    double ExternalClock() const;
    double MasterClock() const;

    // Time between two refresh ticks of the play thread: the audio display's interval while it
    // is shown, 5 ms for pictures, and for a playback paced by its audio the back-up tick.
    std::chrono::milliseconds RefreshInterval() const;
    // Nothing to draw (no video, no audio display): the audio callback paces the refresh.
    bool PacedByAudio() const;
    // The audio callback has moved the clock on.
    void ClockMoved();

    TCustomPlayer& Player;
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
    TAudioOutput* Audio() const { return FAudio.load(std::memory_order_acquire); }
    TVideoDecoder* Video() const { return FVideo.load(std::memory_order_acquire); }
    TSubtitleDecoder* Subtitles() const { return FSubtitles.load(std::memory_order_acquire); }

private:
    void ReadThreadMain();
    bool OpenInput(); // steps up to the stream choice; false with OpenError set
    void ChooseAndOpenStreams(int (&chosen)[3]);
    int OpenComponent(int streamIndex);
    void CloseComponent(int streamIndex);
    void ReadLoop();
    void DoSeek();
    void CloseInput();
    // The read thread's pause while the queues are full; WakeReader ends it early.
    void ReaderPause(int ms);
    void WakeReader();
    static int InterruptCheck(void* opaque);

    AVInputContextPtr FContext;
    std::unique_ptr<TAudioOutput> FAudioOwner;
    std::unique_ptr<TVideoDecoder> FVideoOwner;
    std::unique_ptr<TSubtitleDecoder> FSubtitleOwner;
    std::atomic<TAudioOutput*> FAudio{nullptr};
    std::atomic<TVideoDecoder*> FVideo{nullptr};
    std::atomic<TSubtitleDecoder*> FSubtitles{nullptr};
    int FLastPaused = 0; // read thread only
    bool FEndLogged = false;
    std::thread FReadThread;
    std::mutex FWakeLock; // guards FWoken
    std::condition_variable FWake;
    bool FWoken = false;
    std::atomic<bool> FClosed{false};
    // External clock: seconds and the av_gettime() it was set at.
    std::atomic<double> FExternalClock{0};
    std::atomic<int64_t> FExternalClockTime{0};
};
