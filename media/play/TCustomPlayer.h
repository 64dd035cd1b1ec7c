#pragma once
// The player component: plays a media file through SDL and reports the playing position and the
// play state to its owner. The window uses it for the audio preview of the opened MP3.
//
// This folder: the component (TCustomPlayer, TFFPlayer) and the parts of a playback. The
// component alone knows every part and is the only file that includes this header; the parts
// speak up through TPlayerHost and share the playback's record (TPlaybackState). Parts include
// one another only downward, in the order the data flows: read (TPlayback) -> decode
// (TVideoDecoder, which takes in TSubtitleDecoder's pictures, and TAudioOutput's decoder) ->
// output (TAudioOutput's device) -> display (TPlayerDisplay), which declares what it draws from
// (TSubtitleOverlay, TAudioDisplaySource) for the parts above it to give.
// May include (media/play/): media/decode, media/mp3, media/ (the foundation), Qt Core and
// SDL's headers (pictures are TBitmaps, windows TScreenHandles: no Qt Gui); never media/encode, nor anything above media/.
//
// Threads, and who starts and joins them:
// - the caller's thread (the main thread in the application) runs every operation. OpenMedia
//   starts the playback's read thread (TPlayback::Open), the event thread and the play thread.
// - the play thread (TPlayThread, owned by the player): runs the event loop under the player
//   lock: refresh ticks that it times itself (5 ms with pictures, 20 with the audio display)
//   or that the audio device paces when there is nothing to draw (display,
//   position reports, end of range), display updates, the quit request, which closes the
//   playback. Joined by Stop(true), by the next OpenMedia and by the
//   destructor.
// - the event thread (TEventThread, owned by the player, replaced at every OpenMedia): delivers
//   the events of the ring to the handlers, in the main thread when TriggerEventInMainThread.
//   Terminated and joined by the next OpenMedia and by the destructor.
// - the read thread (owned by TPlayback), the video thread (owned by
//   TVideoDecoder) and SDL's audio thread (TAudioOutput's device), all started while a playback
//   opens and joined by its close, which runs on the play thread (or, when that does not end, on
//   the thread that stops the player).
//
// What crosses between them: operations reach the playback under the player lock; position and
// state events go from the play thread to the event thread through the event ring, tagged with
// the playback's generation so that a late event of a replaced playback is dropped; packets go
// through the packet queues; log lines of the read, audio and play threads go through the log
// queue (TPlayerLogQueue), which the play thread and the operations forward to the log bridge
// outside every lock. Handlers are called under the handler gates of TPlayerHandlers, so setting
// a handler to nullptr returns only when no call of the old one runs or can start.
//
// The operations' own waits: OpenMedia (while the file opens and while the previous playback
// ends), Stop(true), Seek with Wait and taking the player lock wait on the main thread by pumping
// its events, so that the threads handing something to the main thread can finish. User input is
// not pumped (PumpMessages); what is (queued calls, timers, the handlers of events delivered
// meanwhile) may call the player again, and such a call never nests a wait of its own:
// - OpenMedia is refused: False, LastErrorText says the player is busy;
// - Stop does not wait; the playback that is being opened is stopped as soon as it is open;
// - Seek with Wait does not wait;
// - Pause, Resume, Seek and the property setters act at once, as they do outside a wait.

#include "media/FFBaseComponent.h"
#include "media/play/FFPlayTypes.h"
#include "media/play/TEventThread.h"
#include "media/play/TPlayThread.h"
#include "media/play/TPlayerHost.h"
#include "media/play/TPlayerEventRing.h"
#include "media/play/TPlayerHandlers.h"
#include "media/play/TPlayerLogQueue.h"

#include "media/TBitmap.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class TPlayback;
class TAudioOutput;
class TVideoDecoder;
class TPlayerDisplay;

class TCustomPlayer : public TFFBaseComponent, public TPlayerHost {
    Q_OBJECT
public:
    explicit TCustomPlayer(QObject* parent = nullptr);
    ~TCustomPlayer() override;

    QString Version() const { return QStringLiteral("2.6a"); }

    // Opens fileName and starts playing it (paused with startPaused). screenHandle is the host
    // window the display belongs to (nullptr: a window of the player's own when the display is
    // enabled). False with LastErrorText() on failure.
    bool OpenMedia(const QString& fileName, const TScreenHandle* screenHandle = nullptr,
                   bool startPaused = false);
    // Ends the playback; with waitForEnd returns when the play thread has ended.
    void Stop(bool waitForEnd);
    void Pause();
    void Resume();
    // flags: 1 backward, 2 position is a byte offset, 4 any frame, 8 frame number.
    void Seek(uint8_t flags, bool wait, int64_t position);

    bool IsOpen() const;
    bool IsPaused() const;
    TPlayState LastState() const { return FLastState.load(); }
    int64_t CurrentPosition() const { return FCurrentPosition.load(); } // µs, -1 none
    // The off-screen display surface a host presents (null when there is none).
    TBitmap DisplayImage() const;

    // ---- published properties ----
    TAudioVolume AudioVolume() const { return FAudioVolume.load(); }
    void SetAudioVolume(TAudioVolume v) { FAudioVolume.store(v); }
    bool Mute() const { return FMute.load(); }
    void SetMute(bool v) { FMute.store(v); }
    TAudioDriver AudioDriver = adDefault;
    TVideoDriver VideoDriver = vdDefault;
    bool DisableAudio = false;
    bool DisableVideo = false;
    bool DisableDisplay = false;
    int FrameWidth = 0, FrameHeight = 0;
    int ScreenWidth() const override { return FScreenWidth.load(); }
    int ScreenHeight() const override { return FScreenHeight.load(); }
    void SetScreenWidth(int v) { FScreenWidth.store(v); }
    void SetScreenHeight(int v) { FScreenHeight.store(v); }
    float AspectRatio() const { return FAspectRatio.load(); }
    bool VideoHook() const { return FVideoHook.load(); }
    void SetVideoHook(bool v) { FVideoHook.store(v); }

    // ---- public, not published ----
    QString VideoFilters;
    bool AudioHook() const { return FAudioHook.load(); }
    void SetAudioHook(bool v) { FAudioHook.store(v); }
    // Per-playback settings, back to their defaults whenever a playback closes (on the thread
    // that closes it, before psStop is raised, so a psStop handler may set them for the next
    // file).
    std::atomic<int64_t> StartTime{PlayTimeUnset};    // µs
    std::atomic<int64_t> PlayDuration{PlayTimeUnset}; // µs
    std::atomic<int> LoopMode{1};
    std::atomic<int> SeekByBytes{-1};
    std::atomic<int> WantedAudioStream{-1}, WantedVideoStream{-1}, WantedSubtitleStream{-1};
    std::atomic<int> VerticalFlip{0};
    // The last playback ended without a sample or picture ever decoded (its file holds nothing
    // playable past its headers). Cleared by OpenMedia.
    bool PlayedNothing() const { return FPlayedNothing.load(); }
    // Set once, at construction.
    int SyncType = 0;
    int AudioDisplayMode = 1;
    int AudioDisplayInterval = 20; // ms
    TDecoderOptions DecoderOptions;
    int Reorder = -1;
    int FrameDrop = 0;
    int ScalerFlags = 4;
    bool GenPts = false;
    int FramePixFmt = -1;
    bool FullScreen = false;

    // ---- events ----
    void SetOnPosition(TPositionEvent handler);
    void SetOnState(TPlayStateEvent handler);
    void SetOnFileOpen(TFileOpenEvent handler);
    void SetOnAudioHook(TPlayerAudioHookEvent handler);
    void SetOnVideoHook(TPlayerVideoHookEvent handler);

protected:
    void SetAspectRatioValue(float value);

private:
    // ---- what the parts ask (TPlayerHost) ----
    TPlayerHost& AsHost() { return *this; }
    void SetState(TPlayState state, uint64_t generation) override;
    TPlayerSignal& SeekDone() override { return FSeekDone; }
    TPlayerSignal& FrameReady() override { return FFrameReady; }
    std::atomic<bool>& SeekPending() override { return FSeekPending; }
    void NudgeRefresh() override { FPlayThread.Nudge(); }
    TPlayerLogQueue& LogQueue() override { return FLog; }
    void ForwardLog() override { FLog.Forward(this); }
    int Volume() const override { return FAudioVolume.load(std::memory_order_relaxed); }
    bool Muted() const override { return FMute.load(std::memory_order_relaxed); }
    void RaiseAudioHook(int64_t pts, uint8_t* sample, int size, int rate, int channels) override;
    bool VideoHookOn() const override { return VideoHook(); }
    bool RaiseVideoHook(TBitmap& bitmap, int64_t pts) override;
    bool HasHostWindow() const override { return FHasHost; }
    void SetScreenSize(int width, int height) override;
    float DisplayAspectRatio() const override { return AspectRatio(); }
    void PublishDisplay(const TBitmap& image) override;

    void ResetPlaybackSettings();
    // Stop's work, for the operations that stop as their first step.
    void StopPlayback(bool waitForEnd);
    // Ends the event thread; joins it (and earlier retired ones) unless a handler of theirs is
    // running on this thread, which would never return then.
    void RetireEventThread();
    void JoinRetiredEventThreads();
    TPlaybackOptions SnapshotOptions() const;
    bool Fail(const QString& message);
    bool StartSDL();
    void QuitSDL();
    void WaitForPlayThread();
    void PlayThreadMain(uint64_t generation);
    // Handles one event under the player lock; false when the loop ends.
    bool HandlePlayEvent(int type);
    void ClosePlayback();
    void RefreshTimer(bool consume);
    void ReportPosition();
    // Ends a playback whose input has ended without anything ever played.
    void EndUnplayable(TPlayback& pb);
    // The seek of Seek(flags, false, position) for the open playback; the caller holds the
    // player lock.
    void RequestSeekLocked(uint8_t flags, int64_t position);
    void PostEvent(const TRingEvent& event) { FRing.Post(event); }
    // Takes the player lock within ms milliseconds (pumping on the main thread).
    bool LockPlayer(std::unique_lock<std::mutex>& lock, int ms) const;
    // True on the main thread while one of the operations' pumping waits runs further up its
    // stack: a call now arrived from that pump.
    bool CalledFromWait() const;
    friend class TPumpingWait;

    // The open playback; replaced only by the thread holding FPlayerLock.
    std::unique_ptr<TPlayback> FPlayback;
    // Guards FPlayback and the display: the play thread holds it while it handles one event,
    // the operations while they look at the playback.
    mutable std::mutex FPlayerLock;
    std::atomic<bool> FOpen{false};           // mirrors FPlayback != nullptr for lock-free looks
    std::unique_ptr<TPlayerDisplay> FDisplay; // play thread only
    bool FHasHost = false;
    std::atomic<bool> FSDLStarted{false}; // this player holds SDL's audio and timer
    uint64_t FGeneration = 0;
    std::atomic<uint64_t> FLiveGeneration{0}; // the playback whose events are delivered

    TPlayerSignal FSeekDone{true};
    TPlayerSignal FFrameReady{true};
    TPlayerSignal FPlayEnded{true};
    std::atomic<bool> FSeekPending{false};
    mutable int FPumpingWaits = 0; // main thread only: pumping waits running
    bool FStopWhenOpen = false;    // main thread only: a Stop came during an open
    std::atomic<bool> FPlayedNothing{false};

    TPlayerEventRing FRing;
    std::unique_ptr<TEventThread> FEventThread;
    // Event threads replaced while one of their handlers was running on this thread (the thread
    // of the operations; the list is touched by no other): they end
    // when it returns and are joined by the next operation outside a handler.
    std::vector<std::unique_ptr<TEventThread>> FRetiredEventThreads;
    TPlayThread FPlayThread;
    TPlayerLogQueue FLog;

    std::atomic<int64_t> FLastPosted{PlayTimeUnset};
    std::atomic<int64_t> FCurrentPosition{-1};
    std::atomic<TPlayState> FLastState{psStop};
    std::atomic<int> FAudioVolume{128};
    std::atomic<bool> FMute{false};
    std::atomic<bool> FAudioHook{false};
    std::atomic<bool> FVideoHook{false};
    std::atomic<int> FScreenWidth{0}, FScreenHeight{0};
    std::atomic<float> FAspectRatio{0};
    std::atomic<int64_t> FAudioCallbackTime{0};

    TPlayerHandlers FHandlers{*this, FLog};
    TFileOpenEvent FOnFileOpen; // main thread only

    mutable std::mutex FDisplayImageLock; // guards FDisplayImage
    TBitmap FDisplayImage;
};
