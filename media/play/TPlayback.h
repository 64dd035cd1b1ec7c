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
#include "media/play/TPlaybackState.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <memory>
#include <thread>

class TPlayerHost;
class TAudioOutput;
class TVideoDecoder;
class TSubtitleDecoder;
class TPlayerLogQueue;

class TPlayback : public TPlaybackState {
public:
    TPlayback(TPlayerHost& host, const TPlaybackOptions& options, const QString& fileName,
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
    double MasterClock() const override;

    // Time between two refresh ticks of the play thread: the audio display's interval while it
    // is shown, 5 ms for pictures, and for a playback paced by its audio the back-up tick.
    std::chrono::milliseconds RefreshInterval() const;
    // Nothing to draw (no video, no audio display): the audio callback paces the refresh.
    bool PacedByAudio() const;
    // The audio callback has moved the clock on.
    void ClockMoved() override;

    // Set by the read thread while it opens the streams, before the open is reported; read by
    // every thread of the playback afterwards.
    TAudioOutput* Audio() const { return FAudio.load(std::memory_order_acquire); }
    TVideoDecoder* Video() const { return FVideo.load(std::memory_order_acquire); }

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
