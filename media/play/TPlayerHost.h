#pragma once
// What the parts of a playback (TPlayback and the decoders, the audio output and the display it
// opens) may ask of the player that owns them. The component alone knows all parts; they speak
// up through this interface only, so that each can be read without the whole.
//
// Threads: every member may be called from any thread of the playback (read, audio, video,
// subtitle, play); each says what it touches. None of them waits for the main thread.

#include "media/TBitmap.h"
#include "media/play/FFPlayTypes.h"

#include <atomic>
#include <cstdint>

class TPlayerLogQueue;

class TPlayerHost {
public:
    // ---- state and the waits of the operations ----
    // Raises state for the playback of generation (an event the owner receives later).
    virtual void SetState(TPlayState state, uint64_t generation) = 0;
    // Set when a requested seek has been carried out (Seek with Wait waits for it).
    virtual TPlayerSignal& SeekDone() = 0;
    // Set when, after a seek, the video path has a picture, or reading has failed or ended.
    virtual TPlayerSignal& FrameReady() = 0;
    // A seek has been asked for and its first picture is not queued yet.
    virtual std::atomic<bool>& SeekPending() = 0;
    // The audio clock moved: the play thread's refresh may run now.
    virtual void NudgeRefresh() = 0;
    // Log lines of the playback's threads; forwarded to the log bridge by the player.
    virtual TPlayerLogQueue& LogQueue() = 0;
    // Hands the queued log lines to the log bridge now (on the thread of the operations only).
    virtual void ForwardLog() = 0;

    // ---- audio ----
    virtual int Volume() const = 0; // 0..128 (SDL's mix level)
    virtual bool Muted() const = 0;
    // Hands a decoded chunk to the owner's audio hook when that is on (audio thread).
    virtual void RaiseAudioHook(int64_t pts, uint8_t* sample, int size, int rate, int channels) = 0;

    // ---- video ----
    virtual bool VideoHookOn() const = 0;
    // The owner's video hook on an RGB copy of a picture; true when the copy is to be shown.
    virtual bool RaiseVideoHook(TBitmap& bitmap, int64_t pts) = 0;

    // ---- display ----
    // The display belongs to a host window (drawn off screen and published) rather than to a
    // window of the player's own.
    virtual bool HasHostWindow() const = 0;
    virtual int ScreenWidth() const = 0; // pixels; 0 when not chosen
    virtual int ScreenHeight() const = 0;
    virtual void SetScreenSize(int width, int height) = 0;
    virtual float DisplayAspectRatio() const = 0; // 0: the pictures' own
    // The off-screen surface after an update, for the host to present.
    virtual void PublishDisplay(const TBitmap& image) = 0;

protected:
    ~TPlayerHost() = default;
};
