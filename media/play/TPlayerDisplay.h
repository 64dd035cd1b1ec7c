#pragma once
// The display of a playback: pictures of a video stream, or for media without video the audio
// display (waveform or spectrum).
//
// Everything is drawn with SDL's renderer. With a host window, the renderer is SDL's software
// renderer on an off-screen surface of the host's client size: nothing is painted over the host's
// own widgets, and after each update the surface is published as an image the host may present
// (the player's DisplayImage). Without a host the display is a window of its own captioned
// "FFPlayer", for which the video subsystem is started here and stopped again by the destructor.
//
// Thread: the play thread only, which creates, uses and destroys it.

#include "media/AVPtr.h"
#include "media/TBitmap.h"

#include <vector>

class TPlayerHost;
class TPlaybackState;
struct AVTXContext;

// The subtitles the display blends into pictures; the subtitle decoder gives them.
class TSubtitleOverlay {
public:
    // picture with the subtitle due at videoPts (s) drawn in, in scratch; picture itself when
    // none is due.
    virtual const AVFrame* Overlay(const AVFrame* picture, double videoPts, AVFrame* scratch) = 0;

protected:
    ~TSubtitleOverlay() = default;
};

// The sound the audio display shows; the audio output gives it.
class TAudioDisplaySource {
public:
    virtual int SampleRate() const = 0;
    virtual int Channels() const = 0;
    // Bytes of decoded audio not yet handed to the device, and when the device last took some
    // (av_gettime(); 0 before the first time): together they tell what is heard now.
    virtual int PendingBytes() const = 0;
    virtual int64_t CallbackTime() const = 0;
    // The newest frames samples per channel, ending delayFrames before the newest (interleaved
    // signed 16-bit).
    virtual void CopyDisplaySamples(int16_t* out, int frames, int delayFrames) = 0;

protected:
    ~TAudioDisplaySource() = default;
};

class TPlayerDisplay {
public:
    TPlayerDisplay(TPlayerHost& host, TPlaybackState& playback);
    ~TPlayerDisplay();
    TPlayerDisplay(const TPlayerDisplay&) = delete;
    TPlayerDisplay& operator=(const TPlayerDisplay&) = delete;

    // Makes the surface or window (again when forced or when the wanted size changed). False
    // with "SDL: could not set video mode." queued on the log.
    bool Open(bool forced);
    // The audio display for media without video, else a redraw of the last picture.
    void Show();
    // The picture of time pts (s), with the subtitle due then blended in.
    void ShowPicture(const AVFrame* picture, double pts);
    bool OwnWindow() const { return FWindow != nullptr; }
    // The next window event as a play event type (0 when none); the play thread polls it.
    int PollWindowEvent();
    // The window's size changed: the display takes it.
    void Resized();

private:
    void WantedSize(int& w, int& h) const;
    void Present();
    void DrawPicture();
    void ShowWaveform();
    void ShowSpectrum();
    void FillRect(int x, int y, int w, int h, Uint8 r, Uint8 g, Uint8 b);

    TPlayerHost& FHost;
    TPlaybackState& FPlayback;
    SDL_Window* FWindow = nullptr;
    SDL_Surface* FSurface = nullptr;
    SDL_Renderer* FRenderer = nullptr;
    SDL_Texture* FTexture = nullptr;
    bool FVideoStarted = false;
    int FWidth = 0, FHeight = 0;
    int FTexWidth = 0, FTexHeight = 0;
    AVRational FPictureSar{0, 1};
    AVFramePtr FSubtitled; // the picture with its subtitle, when one is due
    int FLastStart = 0;

    // Spectrum transform and its buffers.
    AVTXContext* FTx = nullptr;
    void (*FTxFn)(AVTXContext*, void*, void*, ptrdiff_t) = nullptr;
    int FTxBits = 0;
    std::vector<float> FTxIn;
    std::vector<float> FTxOut; // interleaved re, im
    std::vector<int16_t> FSamples;
    int FColumn = 0;
};
