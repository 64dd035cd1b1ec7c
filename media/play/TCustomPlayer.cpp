#include "media/play/TCustomPlayer.h"

#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/play/TAudioOutput.h"
#include "media/play/TPlayback.h"
#include "media/play/TPlayerDisplay.h"
#include "media/play/TVideoDecoder.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <thread>

namespace {

const char* AudioDriverName(TAudioDriver driver) {
    switch (driver) {
    case adDirectSound:
        return "pulseaudio";
    case adWaveOut:
        return "alsa";
    default:
        return "";
    }
}

const char* VideoDriverName(TVideoDriver driver) {
    switch (driver) {
    case vdDirectDraw:
        return "x11";
    case vdGDI:
        return "wayland";
    default:
        return "";
    }
}

// How long a playback whose input has ended may go on without a clock before it is ended (ms).
constexpr int UnplayableGraceMs = 500;

} // namespace

// Marks the main thread as inside one of the player's pumping waits for as long as it lives.
class TPumpingWait {
public:
    explicit TPumpingWait(const TCustomPlayer& player) : FPlayer(player), FCounted(IsMainThread()) {
        if (FCounted)
            ++FPlayer.FPumpingWaits;
    }
    ~TPumpingWait() {
        if (FCounted)
            --FPlayer.FPumpingWaits;
    }
    TPumpingWait(const TPumpingWait&) = delete;
    TPumpingWait& operator=(const TPumpingWait&) = delete;

private:
    const TCustomPlayer& FPlayer;
    const bool FCounted;
};

TCustomPlayer::TCustomPlayer(QObject* parent) : TFFBaseComponent(PlayerLibraries, parent) {
    ResetPlaybackSettings();
}

TCustomPlayer::~TCustomPlayer() {
    SetOnPosition(nullptr);
    SetOnState(nullptr);
    SetOnAudioHook(nullptr);
    SetOnVideoHook(nullptr);
    FLiveGeneration = 0;
    StopPlayback(true);
    RetireEventThread();
    for (auto& thread : FRetiredEventThreads)
        thread->Terminate();
    FRetiredEventThreads.clear();
    FPlayThread.Join();
    FLog.Forward(this);
}

// ---- settings ---------------------------------------------------------------------------------

void TCustomPlayer::ResetPlaybackSettings() {
    FLastPosted = PlayTimeUnset;
    FCurrentPosition = -1;
    WantedAudioStream = WantedVideoStream = WantedSubtitleStream = -1;
    SeekByBytes = -1;
    StartTime = PlayTimeUnset;
    PlayDuration = PlayTimeUnset;
    LoopMode = 1;
    VerticalFlip = 0;
    FSeekDone.Set();
    FSeekPending = false;
}

TPlaybackOptions TCustomPlayer::SnapshotOptions() const {
    TPlaybackOptions o;
    o.DisableAudio = DisableAudio;
    o.DisableVideo = DisableVideo;
    o.DisableDisplay = DisableDisplay;
    o.FrameWidth = FrameWidth;
    o.FrameHeight = FrameHeight;
    o.ScreenWidth = ScreenWidth();
    o.ScreenHeight = ScreenHeight();
    o.StartTime = StartTime;
    o.PlayDuration = PlayDuration;
    o.LoopMode = LoopMode;
    o.SeekByBytes = SeekByBytes;
    o.WantedAudio = WantedAudioStream;
    o.WantedVideo = WantedVideoStream;
    o.WantedSubtitle = WantedSubtitleStream;
    o.SyncType = SyncType;
    o.AudioDisplayMode = AudioDisplayMode;
    o.AudioDisplayInterval = AudioDisplayInterval;
    o.Reorder = Reorder;
    o.FrameDrop = FrameDrop;
    o.ScalerFlags = ScalerFlags;
    o.GenPts = GenPts;
    o.FramePixFmt = FramePixFmt;
    o.VerticalFlip = VerticalFlip;
    o.FullScreen = FullScreen;
    o.VideoFilters = VideoFilters;
    o.Decoder = DecoderOptions;
    return o;
}

void TCustomPlayer::SetAspectRatioValue(float value) {
    if (FAspectRatio.exchange(value) == value)
        return;
    if (FOpen)
        FPlayThread.Post(peUpdateDisplay);
}

bool TCustomPlayer::Fail(const QString& message) {
    ActiveLogger()->Log(this, llError, message);
    SetLastErrorText(message);
    return false;
}

// ---- SDL --------------------------------------------------------------------------------------

bool TCustomPlayer::StartSDL() {
    // A driver named by the user's environment wins over the default choice: a hint set here has
    // a lower priority than the environment variable of the same name.
    ff::SDL_SetHint(SDL_HINT_AUDIODRIVER, AudioDriverName(AudioDriver));
    ff::SDL_SetHint(SDL_HINT_VIDEODRIVER, VideoDriverName(VideoDriver));
    // SIGINT and SIGTERM stay the program's: SDL would turn them into a quit event nobody reads.
    ff::SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The video subsystem is started by the play thread, and only for a window of our own.
    if (ff::SDL_InitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO) != 0)
        return false;
    FSDLStarted = true;
    if (const char* name = ff::SDL_GetCurrentAudioDriver())
        ActiveLogger()->LogFmt(this, llDebug, "using audio driver: %s", name);
    return true;
}

void TCustomPlayer::QuitSDL() {
    // Two threads may stop at once; one of them quits.
    if (!FSDLStarted.exchange(false))
        return;
    ff::SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO);
    // With no subsystem left in use anywhere, SDL's own state (the hints set above) goes too.
    if (ff::SDL_WasInit(SDL_INIT_EVERYTHING) == 0)
        ff::SDL_Quit();
}

void TCustomPlayer::RetireEventThread() {
    if (FEventThread) {
        FEventThread->RequestTerminate();
        FRetiredEventThreads.push_back(std::move(FEventThread));
    }
    JoinRetiredEventThreads();
}

void TCustomPlayer::JoinRetiredEventThreads() {
    if (TPlayerHandlers::InHandler())
        return;
    for (auto& thread : FRetiredEventThreads)
        thread->Terminate();
    FRetiredEventThreads.clear();
}

// ---- operations -------------------------------------------------------------------------------

bool TCustomPlayer::CalledFromWait() const {
    // The count is the main thread's own: no other thread reads it.
    return IsMainThread() && FPumpingWaits > 0;
}

bool TCustomPlayer::OpenMedia(const QString& fileName, const TScreenHandle* screenHandle, bool startPaused) {
    // An open inside an open would quit SDL under the outer one and free what its threads use.
    if (CalledFromWait())
        return Fail(QStringLiteral("The player is busy opening or closing a file; %1 was not "
                                   "opened.")
                        .arg(fileName));
    if (!LibrariesLoaded())
        return Fail(QStringLiteral("libav or libsdl not loaded."));
    TPumpingWait pumping(*this);
    FStopWhenOpen = false;
    FPlayedNothing = false;
    StopPlayback(true);
    RetireEventThread();
    FRing.Clear();
    FPlayThread.ClearEvents();

    if (!StartSDL()) {
        const unsigned handle = screenHandle != nullptr ? unsigned(screenHandle->Id) : 0u;
        return Fail(QString::asprintf("Could not initialize SDL with ScreenHandle(%u): %s", handle,
                                      ff::SDL_GetError()));
    }
    if (DisableDisplay)
        DisableVideo = true;

    FHasHost = screenHandle != nullptr;
    const uint64_t generation = ++FGeneration;
    FLiveGeneration = generation;
    auto playback =
        std::make_unique<TPlayback>(AsHost(), SnapshotOptions(), fileName, startPaused, generation);
    QString error;
    const bool opened = playback->Open(error);
    FLog.Forward(this);
    if (!opened) {
        playback.reset();
        FLog.Forward(this);
        QuitSDL();
        ResetPlaybackSettings();
        // The read thread's texts are the owner's to show; they are not logged.
        SetLastErrorText(error);
        return false;
    }

    int64_t duration = playback->ImageSequence ? 0 : playback->MediaDuration;
    int frameWidth = -1, frameHeight = -1;
    if (playback->Video() && playback->Video()->Width() > 0) {
        frameWidth = playback->Video()->Width();
        frameHeight = playback->Video()->Height();
    }
    {
        std::unique_lock<std::mutex> lock;
        LockPlayer(lock, -1);
        FPlayback = std::move(playback);
        FOpen = true;
    }
    if (FOnFileOpen) {
        int w = ScreenWidth(), h = ScreenHeight();
        auto raise = [&] { FOnFileOpen(this, duration, frameWidth, frameHeight, w, h); };
        if (TriggerEventInMainThread())
            CallInMainThread(raise);
        else
            raise();
        SetScreenWidth(w);
        SetScreenHeight(h);
    }
    if (FHasHost && (ScreenWidth() == 0 || ScreenHeight() == 0)) {
        // The display surface takes the host's client size unless the owner (or its file-open
        // handler) chose one; the display reads it when it opens.
        SetScreenWidth(screenHandle->Width);
        SetScreenHeight(screenHandle->Height);
    }
    FEventThread = std::make_unique<TEventThread>(
        FRing, [this](const TRingEvent& event) { FHandlers.Deliver(event, FLiveGeneration); });
    FPlayEnded.Reset();
    try {
        FPlayThread.Start([this, generation] { PlayThreadMain(generation); });
    } catch (const std::exception& e) {
        // No play thread: the playback is closed here, as its thread would have done.
        std::unique_lock<std::mutex> lock;
        LockPlayer(lock, -1);
        ClosePlayback();
        lock.unlock();
        FPlayEnded.Set();
        FLog.Forward(this);
        QuitSDL();
        return Fail(QStringLiteral("%1: could not start the play thread: %2")
                        .arg(fileName, QString::fromLocal8Bit(e.what())));
    }
    // A Stop that arrived while the file was opening is carried out now that there is
    // something to stop.
    if (std::exchange(FStopWhenOpen, false))
        StopPlayback(false);
    return true;
}

bool TCustomPlayer::LockPlayer(std::unique_lock<std::mutex>& lock, int ms) const {
    // Polled rather than a timed wait: a plain mutex in short steps lets the main thread serve
    // its calls between tries, and ThreadSanitizer cannot follow the timed lock of our C library.
    lock = std::unique_lock<std::mutex>(FPlayerLock, std::defer_lock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const bool main = IsMainThread();
    for (int tries = 0;; ++tries) {
        if (lock.try_lock())
            return true;
        if (main && tries % 5 == 4) {
            TPumpingWait pumping(*this);
            PumpMessages();
        }
        if (ms >= 0 && std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool TCustomPlayer::IsOpen() const {
    return FOpen.load();
}

bool TCustomPlayer::IsPaused() const {
    // A query does not pump: the play thread holds the lock only for steps that never wait for
    // the main thread (the threads it joins log without waiting).
    std::lock_guard<std::mutex> lock(FPlayerLock);
    return FPlayback && FPlayback->Paused != 0;
}

void TCustomPlayer::Stop(bool waitForEnd) {
    if (CalledFromWait()) {
        // The wait under way may be the open of the playback to stop, or the stop itself.
        FStopWhenOpen = true;
        StopPlayback(false);
        return;
    }
    TPumpingWait pumping(*this);
    StopPlayback(waitForEnd);
}

void TCustomPlayer::StopPlayback(bool waitForEnd) {
    bool wasOpen = false;
    {
        std::unique_lock<std::mutex> lock;
        LockPlayer(lock, -1);
        if (FPlayback) {
            wasOpen = true;
            if (FPlayback->Paused)
                FPlayback->TogglePause();
            FPlayThread.Post(peQuit);
        }
    }
    if (!waitForEnd)
        return;
    if (wasOpen)
        WaitForPlayThread();
    FPlayThread.Join();
    FLog.Forward(this);
    if (IsMainThread())
        JoinRetiredEventThreads();
    if (!FOpen)
        QuitSDL();
}

void TCustomPlayer::WaitForPlayThread() {
    const bool main = IsMainThread();
    for (int pass = 1;;) {
        if (FPlayEnded.Wait(100))
            return;
        if (main) {
            PumpMessages();
            FLog.Forward(this);
        }
        if (!FOpen)
            return;
        std::unique_lock<std::mutex> lock;
        if (!LockPlayer(lock, 100))
            continue;
        if (!FPlayback)
            return;
        ++pass;
        if ((pass <= 10 || !FPlayback->InRead) && pass <= 20) {
            FPlayThread.Post(peQuit);
            continue;
        }
        // The play thread does not end: close the playback from here. Its loop then finds
        // nothing open and ends.
        ClosePlayback();
        return;
    }
}

void TCustomPlayer::Pause() {
    std::unique_lock<std::mutex> lock;
    LockPlayer(lock, -1);
    if (!FPlayback || FPlayback->Paused)
        return;
    FPlayback->TogglePause();
    SetState(psPause, FPlayback->Generation);
}

void TCustomPlayer::Resume() {
    std::unique_lock<std::mutex> lock;
    LockPlayer(lock, -1);
    if (!FPlayback || !FPlayback->Paused)
        return;
    FPlayback->TogglePause();
    SetState(psResume, FPlayback->Generation);
}

void TCustomPlayer::Seek(uint8_t flags, bool wait, int64_t position) {
    bool hasVideo = false;
    {
        std::unique_lock<std::mutex> lock;
        LockPlayer(lock, -1);
        if (!FPlayback)
            return;
        RequestSeekLocked(flags, position);
        hasVideo = FPlayback->VideoIndex >= 0;
    }
    if (!wait || CalledFromWait())
        return;
    const bool main = IsMainThread();
    TPumpingWait pumping(*this);
    auto waitFor = [&](TPlayerSignal& signal) {
        while (!signal.Wait(100))
            if (main)
                PumpMessages();
    };
    waitFor(FSeekDone);
    if (hasVideo)
        waitFor(FFrameReady);
}

void TCustomPlayer::RequestSeekLocked(uint8_t flags, int64_t position) {
    TPlayback& pb = *FPlayback;
    if (flags & 2) {
        pb.RequestSeek(flags, position, 0);
        return;
    }
    int64_t target = position;
    if (pb.MediaDuration >= 0 && pb.MediaDuration < target)
        target = pb.MediaDuration;
    if (pb.ContextStartTime != AV_NOPTS_VALUE)
        target += pb.ContextStartTime;
    pb.RequestSeek(flags, target, position <= 0 ? 1 : 0);
}

TBitmap TCustomPlayer::DisplayImage() const {
    std::lock_guard<std::mutex> lock(FDisplayImageLock);
    return FDisplayImage;
}

void TCustomPlayer::SetScreenSize(int width, int height) {
    SetScreenWidth(width);
    SetScreenHeight(height);
}

void TCustomPlayer::PublishDisplay(const TBitmap& image) {
    std::lock_guard<std::mutex> lock(FDisplayImageLock);
    FDisplayImage = image;
}

// ---- events -----------------------------------------------------------------------------------

void TCustomPlayer::SetOnPosition(TPositionEvent handler) {
    FHandlers.SetOnPosition(std::move(handler));
}

void TCustomPlayer::SetOnState(TPlayStateEvent handler) {
    FHandlers.SetOnState(std::move(handler));
}

void TCustomPlayer::SetOnFileOpen(TFileOpenEvent handler) {
    FOnFileOpen = std::move(handler);
}

void TCustomPlayer::SetOnAudioHook(TPlayerAudioHookEvent handler) {
    FHandlers.SetOnAudioHook(std::move(handler));
}

void TCustomPlayer::SetOnVideoHook(TPlayerVideoHookEvent handler) {
    FHandlers.SetOnVideoHook(std::move(handler));
}

void TCustomPlayer::SetState(TPlayState state, uint64_t generation) {
    FLastState = state;
    if (FHandlers.HasOnState())
        PostEvent({rekState, state, 0, generation});
    else if (state == psStop)
        PostEvent({rekTerminate, state, 0, generation}); // so that the event thread ends
}

void TCustomPlayer::RaiseAudioHook(int64_t pts, uint8_t* sample, int size, int rate, int channels) {
    if (FAudioHook)
        FHandlers.RaiseAudioHook(pts, sample, size, rate, channels);
}

bool TCustomPlayer::RaiseVideoHook(TBitmap& bitmap, int64_t pts) {
    return FHandlers.RaiseVideoHook(bitmap, pts);
}

// ---- play thread ------------------------------------------------------------------------------

void TCustomPlayer::PlayThreadMain(uint64_t generation) {
    SetState(psPlay, generation);
    try {
        // The refresh ticks are timed by this thread's own wait (TPlayback::RefreshInterval),
        // one at a time, and never piled up behind a slow one.
        auto nextRefresh = std::chrono::steady_clock::now();
        for (;;) {
            FLog.Forward(this);
            auto until = nextRefresh;
            if (FDisplay && FDisplay->OwnWindow())
                until = std::min(until,
                                 std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
            TPlayEventType type = peRefresh;
            const bool got = FPlayThread.NextUntil(type, until);
            std::unique_lock<std::mutex> lock(FPlayerLock);
            if (!FPlayback)
                break;
            if (FDisplay && FDisplay->OwnWindow()) {
                // Window events of SDL: close, resize and expose.
                int windowEvent = 0;
                while ((windowEvent = FDisplay->PollWindowEvent()) != 0)
                    if (!HandlePlayEvent(windowEvent))
                        goto ended;
            }
            if (got) {
                if (!HandlePlayEvent(type))
                    break;
                if (type == peRefresh) // a nudge of the audio: the back-up tick starts over
                    nextRefresh = std::chrono::steady_clock::now() + FPlayback->RefreshInterval();
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now < nextRefresh)
                continue; // a window event's turn
            if (!HandlePlayEvent(peRefresh))
                break;
            nextRefresh = std::max(nextRefresh + FPlayback->RefreshInterval(),
                                   std::chrono::steady_clock::now());
        }
    ended:;
    } catch (const std::exception& e) {
        FLog.Push(llFatal, QStringLiteral("PlayThread Exception: ") + QString::fromUtf8(e.what()));
        std::unique_lock<std::mutex> lock(FPlayerLock);
        ClosePlayback();
    }
    // The display belongs to this thread: its window and renderer go with it.
    FDisplay.reset();
    FLog.Forward(this);
    SetState(psStop, generation);
    FPlayEnded.Set();
}

bool TCustomPlayer::HandlePlayEvent(int type) {
    TPlayback& pb = *FPlayback;
    switch (type) {
    case peQuit:
        ClosePlayback();
        return false;
    case peVideoResize:
    case peVideoExpose:
        if (FDisplay)
            FDisplay->Resized();
        if (pb.Paused || type == peVideoExpose)
            RefreshTimer(false);
        return true;
    case peAllocPicture:
        if (!FDisplay)
            FDisplay = std::make_unique<TPlayerDisplay>(AsHost(), pb);
        FDisplay->Open(false);
        if (pb.Video() && !pb.Video()->AllocatePicture()) {
            FLog.PushFmt(llFatal,
                         "Error: the video system does not support an image size of %dx%d "
                         "pixels. Try using -lowres or -vf \"scale=w:h\" to reduce the image size.",
                         pb.Video()->Width(), pb.Video()->Height());
            ClosePlayback();
            return false;
        }
        return true;
    case peRefresh:
        RefreshTimer(true);
        return true;
    case peUpdateDisplay:
        if (FDisplay) {
            FDisplay->Open(true);
            FDisplay->Show();
        }
        return true;
    default:
        return true;
    }
}

void TCustomPlayer::ClosePlayback() {
    if (FPlayback) {
        FPlayback->Close();
        FPlayback.reset();
        FOpen = false;
        ResetPlaybackSettings();
    }
    // Nobody may wait for a seek or a picture of a playback that is gone.
    FSeekDone.Set();
    FFrameReady.Set();
    FSeekPending = false;
}

void TCustomPlayer::RefreshTimer(bool consume) {
    TPlayback& pb = *FPlayback;
    const bool wantDisplay = !pb.Opt.DisableDisplay;
    if (pb.VideoIndex >= 0 && pb.Video()) {
        if (!pb.Video()->Refresh(
                consume, wantDisplay && !FDisplay
                             ? (FDisplay = std::make_unique<TPlayerDisplay>(AsHost(), pb)).get()
                             : FDisplay.get())) {
            // A picture is not due yet or one was dropped: no position this time.
            EndUnplayable(pb);
            return;
        }
    } else if (pb.AudioIndex >= 0) {
        if (wantDisplay && pb.AudioDisplayMode != 0) {
            if (!FDisplay)
                FDisplay = std::make_unique<TPlayerDisplay>(AsHost(), pb);
            FDisplay->Show();
        }
    } else {
        return;
    }
    ReportPosition();
}

void TCustomPlayer::EndUnplayable(TPlayback& pb) {
    // Reading has ended and every packet has been taken, yet no sample or picture came out:
    // nothing will ever move a clock, so no position can reach an end. A grace period lets
    // the device take a last decoded chunk that is on its way.
    if (!pb.EndReached || pb.CaptureDevice || pb.EndSignalled || !std::isnan(pb.AudioClock()) ||
        !std::isnan(pb.VideoClock())) {
        pb.UnplayableSince = {};
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (pb.UnplayableSince == std::chrono::steady_clock::time_point{}) {
        pb.UnplayableSince = now;
        return;
    }
    if (now - pb.UnplayableSince < std::chrono::milliseconds(UnplayableGraceMs))
        return;
    pb.EndSignalled = true;
    FPlayedNothing = true;
    FLog.PushFmt(llError, "%s: nothing in it could be decoded.", pb.FileName.toUtf8().constData());
    SetState(psEnd, pb.Generation);
    if (pb.Paused)
        pb.TogglePause();
    FPlayThread.Post(peQuit);
}

void TCustomPlayer::ReportPosition() {
    TPlayback& pb = *FPlayback;
    if (pb.ImageSequence)
        return;
    double clock;
    if (pb.VideoIndex >= 0)
        clock = pb.VideoClock();
    else if (pb.AudioIndex >= 0)
        clock = pb.AudioClock();
    else
        return;
    // Nothing has been played yet: a position now would be that of no sample at all.
    if (std::isnan(clock)) {
        EndUnplayable(pb);
        return;
    }
    int64_t position = std::llround(clock * 1000000.0) - pb.MediaStart;
    if (pb.VideoIndex < 0 && pb.AudioStreamDuration > 0 && position >= pb.AudioStreamDuration &&
        pb.MediaDuration > position)
        position = pb.MediaDuration;
    FCurrentPosition = position;
    if (pb.MediaDuration > 0 && position >= pb.MediaDuration) {
        position = pb.MediaDuration;
        if (FLastPosted != position)
            FLastPosted = 0; // so that the final value is posted
    }
    const int64_t last = FLastPosted;
    if (last == PlayTimeUnset || std::llabs(position - last) > 10000) {
        FLastPosted = position;
        if (FHandlers.HasOnPosition())
            PostEvent({rekPosition, psPlay, position, pb.Generation});
    }
    // Reported once per end; a seek makes the end reachable again.
    if (!pb.CaptureDevice && !pb.EndSignalled && pb.EndReached) {
        pb.EndSignalled = true;
        SetState(psEnd, pb.Generation);
    }
    if (pb.Opt.PlayDuration == PlayTimeUnset)
        return;
    const int64_t end = pb.Opt.StartTime != PlayTimeUnset ? pb.Opt.StartTime + pb.Opt.PlayDuration
                                                          : pb.Opt.PlayDuration;
    if (position < end)
        return;
    // The owner learns that the range has been played through by a position at its end.
    if (FLastPosted != position) {
        FLastPosted = position;
        if (FHandlers.HasOnPosition())
            PostEvent({rekPosition, psPlay, position, pb.Generation});
    }
    switch (pb.Opt.LoopMode) {
    case 1:
        if (pb.Paused)
            pb.TogglePause();
        FPlayThread.Post(peQuit);
        break;
    case 2:
        if (pb.Opt.StartTime != PlayTimeUnset)
            RequestSeekLocked(0, pb.Opt.StartTime);
        else
            RequestSeekLocked(4, 0);
        break;
    default:
        break;
    }
}
