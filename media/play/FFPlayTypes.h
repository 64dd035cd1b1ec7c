#pragma once
// Types the player shares with its owner and between its threads: play states, driver choices,
// event handler types, the options snapshot a playback reads when it opens, and the small
// manual-reset signal the threads hand each other.

#include "media/TBitmap.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };
using TAudioVolume = int; // 0..128, 128 = unchanged level

// "No time" for StartTime and PlayDuration (µs).
inline constexpr int64_t PlayTimeUnset = INT64_MIN;

using TPositionEvent = std::function<void(QObject* sender, int64_t pts)>;
using TPlayStateEvent = std::function<void(QObject* sender, TPlayState state)>;
// duration µs (-1 unknown); frame size of the video stream or -1, -1; the display size, which
// the handler may change.
using TFileOpenEvent = std::function<void(QObject* sender, int64_t duration, int frameWidth,
                                          int frameHeight, int& screenWidth, int& screenHeight)>;
// pts µs from the media start; interleaved signed 16-bit samples the handler may change.
using TPlayerAudioHookEvent = std::function<void(QObject* sender, int64_t pts, uint8_t* sample,
                                                 int size, int sampleRate, int channels)>;
// The picture as a 24-bit (RGB24) bitmap the handler may draw on; update false keeps the picture as it
// was decoded.
using TPlayerVideoHookEvent =
    std::function<void(QObject* sender, TBitmap& bitmap, int64_t pts, bool& update)>;

// The host window a playback's display belongs to, as much of it as the player needs: its native
// id (named in messages) and its client size, which the display surface takes unless the owner
// chooses one.
struct TScreenHandle {
    uintptr_t Id = 0;
    int Width = 0;
    int Height = 0;
};

// Decoder options copied into every codec context a playback opens.
struct TDecoderOptions {
    int DebugMV = 0;
    int Debug = 0;
    int WorkaroundBugs = 1;
    int Lowres = 0;
    int IdctAlgo = 0;
    bool Fast = false;
    int SkipFrame = 0; // AVDISCARD_DEFAULT
    int SkipIdct = 0;
    int SkipLoopFilter = 0;
    int ErrorRecognition = 1;
    int ErrorConcealment = 3;
};

// What a playback reads from the component when it opens; the component's fields may change
// afterwards without reaching a running playback.
struct TPlaybackOptions {
    bool DisableAudio = false;
    bool DisableVideo = false;
    bool DisableDisplay = false;
    int FrameWidth = 0, FrameHeight = 0;
    int ScreenWidth = 0, ScreenHeight = 0;
    int64_t StartTime = PlayTimeUnset;    // µs
    int64_t PlayDuration = PlayTimeUnset; // µs
    int LoopMode = 1;
    int SeekByBytes = -1;
    int WantedAudio = -1, WantedVideo = -1, WantedSubtitle = -1;
    int SyncType = 0;
    int AudioDisplayMode = 1;
    int AudioDisplayInterval = 20; // ms
    int Reorder = -1;
    int FrameDrop = 0;
    int ScalerFlags = 4;
    bool GenPts = false;
    int FramePixFmt = -1;
    int VerticalFlip = 0;
    bool FullScreen = false;
    QString VideoFilters;
    TDecoderOptions Decoder;
};

// A manual-reset signal: Set wakes every waiter and stays set until Reset.
class TPlayerSignal {
public:
    explicit TPlayerSignal(bool initiallySet) : FSet(initiallySet) {}
    void Set() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FSet = true;
        }
        FChanged.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(FLock);
        FSet = false;
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(FLock);
        return FSet;
    }
    // True when set within ms milliseconds.
    bool Wait(int ms) {
        std::unique_lock<std::mutex> lock(FLock);
        return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FSet; });
    }

private:
    std::mutex FLock; // guards FSet
    std::condition_variable FChanged;
    bool FSet;
};
