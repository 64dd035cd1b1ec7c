#include "media/play/TPlayerDisplay.h"

#include "media/play/TPlayThread.h"
#include "media/play/TPlaybackState.h"
#include "media/play/TPlayerHost.h"
#include "media/play/TPlayerLogQueue.h"

extern "C" {
#include <libavutil/tx.h>
}

#include <algorithm>
#include <cmath>

TPlayerDisplay::TPlayerDisplay(TPlayerHost& host, TPlaybackState& playback)
    : FHost(host), FPlayback(playback) {}

TPlayerDisplay::~TPlayerDisplay() {
    if (FTx != nullptr)
        ff::av_tx_uninit(&FTx);
    if (FTexture != nullptr)
        ff::SDL_DestroyTexture(FTexture);
    if (FRenderer != nullptr)
        ff::SDL_DestroyRenderer(FRenderer);
    if (FSurface != nullptr)
        ff::SDL_FreeSurface(FSurface);
    if (FWindow != nullptr)
        ff::SDL_DestroyWindow(FWindow);
    if (FVideoStarted)
        ff::SDL_QuitSubSystem(SDL_INIT_VIDEO);
    if (FHost.HasHostWindow())
        FHost.PublishDisplay(TBitmap());
}

void TPlayerDisplay::WantedSize(int& w, int& h) const {
    const int sw = FHost.ScreenWidth(), sh = FHost.ScreenHeight();
    if (sw > 0 && sh > 0) {
        w = sw;
        h = sh;
    } else if (FPlayback.PictureWidth > 0) {
        w = FPlayback.PictureWidth & ~1;
        h = FPlayback.PictureHeight & ~1;
    } else {
        w = 640;
        h = 480;
    }
}

bool TPlayerDisplay::Open(bool forced) {
    int w, h;
    WantedSize(w, h);
    if (!forced && FRenderer != nullptr && w == FWidth && h == FHeight)
        return true;
    if (FTexture != nullptr)
        ff::SDL_DestroyTexture(FTexture);
    FTexture = nullptr;
    FTexWidth = FTexHeight = 0;
    if (FHost.HasHostWindow()) {
        // Off-screen: the host's widgets are never painted over.
        if (FRenderer != nullptr)
            ff::SDL_DestroyRenderer(FRenderer);
        if (FSurface != nullptr)
            ff::SDL_FreeSurface(FSurface);
        FRenderer = nullptr;
        FSurface = ff::SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
        if (FSurface != nullptr)
            FRenderer = ff::SDL_CreateSoftwareRenderer(FSurface);
    } else {
        if (!FVideoStarted) {
            if (ff::SDL_InitSubSystem(SDL_INIT_VIDEO) == 0)
                FVideoStarted = true;
        }
        if (FVideoStarted && FWindow == nullptr) {
            Uint32 flags = SDL_WINDOW_RESIZABLE;
            if (FPlayback.Opt.FullScreen)
                flags = SDL_WINDOW_FULLSCREEN_DESKTOP;
            FWindow = ff::SDL_CreateWindow("FFPlayer", SDL_WINDOWPOS_UNDEFINED,
                                           SDL_WINDOWPOS_UNDEFINED, w, h, flags);
            if (FWindow != nullptr) {
                FRenderer = ff::SDL_CreateRenderer(FWindow, -1, 0);
                if (FRenderer == nullptr)
                    FRenderer = ff::SDL_CreateRenderer(FWindow, -1, SDL_RENDERER_SOFTWARE);
            }
        } else if (FWindow != nullptr) {
            ff::SDL_SetWindowSize(FWindow, w, h);
        }
        if (FWindow != nullptr)
            ff::SDL_GetWindowSize(FWindow, &w, &h);
    }
    if (FRenderer == nullptr) {
        FPlayback.Log.Push(llError, QStringLiteral("SDL: could not set video mode."));
        return false;
    }
    FWidth = w;
    FHeight = h;
    return true;
}

int TPlayerDisplay::PollWindowEvent() {
    if (FWindow == nullptr)
        return 0;
    SDL_Event event;
    while (ff::SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT)
            return peQuit;
        if (event.type == SDL_WINDOWEVENT) {
            if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                return peVideoResize;
            if (event.window.event == SDL_WINDOWEVENT_EXPOSED)
                return peVideoExpose;
            if (event.window.event == SDL_WINDOWEVENT_CLOSE)
                return peQuit;
        }
    }
    return 0;
}

void TPlayerDisplay::Resized() {
    if (FWindow == nullptr)
        return;
    int w = 0, h = 0;
    ff::SDL_GetWindowSize(FWindow, &w, &h);
    FWidth = w;
    FHeight = h;
    FHost.SetScreenSize(w, h);
}

void TPlayerDisplay::Present() {
    ff::SDL_RenderPresent(FRenderer);
    if (FSurface != nullptr) {
        // The host's copy; ARGB8888 on a little-endian machine is B, G, R, X in memory.
        FHost.PublishDisplay(TBitmap::CopyOf(static_cast<const uint8_t*>(FSurface->pixels),
                                             FSurface->w, FSurface->h, FSurface->pitch,
                                             AV_PIX_FMT_BGR0));
    }
}

void TPlayerDisplay::FillRect(int x, int y, int w, int h, Uint8 r, Uint8 g, Uint8 b) {
    ff::SDL_SetRenderDrawColor(FRenderer, r, g, b, 255);
    const SDL_Rect rect{x, y, w, h};
    ff::SDL_RenderFillRect(FRenderer, &rect);
}

void TPlayerDisplay::Show() {
    if (FRenderer == nullptr && !Open(false))
        return;
    if (FPlayback.AudioIndex >= 0 && FPlayback.AudioDisplayMode != 0 && FPlayback.VideoIndex < 0) {
        if (FPlayback.AudioDisplayMode == 2)
            ShowSpectrum();
        else
            ShowWaveform();
        return;
    }
    if (FTexture != nullptr)
        DrawPicture();
}

void TPlayerDisplay::ShowPicture(const AVFrame* picture, double pts) {
    if (FRenderer == nullptr && !Open(false))
        return;
    if (TSubtitleOverlay* subtitles = FPlayback.SubtitleOverlay()) {
        if (!FSubtitled)
            FSubtitled = MakeFrame();
        if (FSubtitled)
            picture = subtitles->Overlay(picture, pts, FSubtitled.get());
    }
    if (FTexture == nullptr || FTexWidth != picture->width || FTexHeight != picture->height) {
        if (FTexture != nullptr)
            ff::SDL_DestroyTexture(FTexture);
        FTexture =
            ff::SDL_CreateTexture(FRenderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                  picture->width, picture->height);
        if (FTexture == nullptr)
            return;
        FTexWidth = picture->width;
        FTexHeight = picture->height;
    }
    ff::SDL_UpdateYUVTexture(FTexture, nullptr, picture->data[0], picture->linesize[0],
                             picture->data[1], picture->linesize[1], picture->data[2],
                             picture->linesize[2]);
    FPictureSar = picture->sample_aspect_ratio;
    DrawPicture();
}

void TPlayerDisplay::DrawPicture() {
    float aspect = FHost.DisplayAspectRatio();
    if (aspect < 0) {
        aspect = float(FWidth) / float(std::max(1, FHeight)); // fill the display
    } else if (aspect == 0) {
        const double sar = FPictureSar.num > 0 && FPictureSar.den > 0 ? av_q2d(FPictureSar) : 1.0;
        aspect = float(sar * FTexWidth / std::max(1, FTexHeight));
    }
    int h = FHeight;
    int w = int(std::lround(h * aspect)) & ~1;
    if (w > FWidth) {
        w = FWidth;
        h = int(std::lround(w / aspect)) & ~1;
    }
    const SDL_Rect rect{(FWidth - w) / 2, (FHeight - h) / 2, w, h};
    ff::SDL_SetRenderDrawColor(FRenderer, 0, 0, 0, 255);
    ff::SDL_RenderClear(FRenderer);
    ff::SDL_RenderCopy(FRenderer, FTexture, nullptr, &rect);
    Present();
}

void TPlayerDisplay::ShowWaveform() {
    TAudioDisplaySource* audio = FPlayback.AudioDisplaySource();
    if (audio == nullptr)
        return;
    const int channels = audio->Channels();
    const int width = FWidth;
    // The samples heard now: those still waiting in our chunk and the time since SDL last asked
    // are subtracted from the newest written.
    int delay = audio->PendingBytes() / (2 * channels);
    const int64_t cbTime = audio->CallbackTime();
    if (cbTime != 0)
        delay -= int((ff::av_gettime() - cbTime) * audio->SampleRate() / 1000000);
    delay = std::max(delay, 0);
    // One window of 1000 extra frames before it, to find a steady start.
    const int search = 1000;
    const int frames = width + search + 9;
    if (!FPlayback.Paused) {
        FSamples.resize(size_t(frames) * channels);
        audio->CopyDisplaySamples(FSamples.data(), frames, delay);
    }
    if (FSamples.size() < size_t(frames) * channels)
        FSamples.assign(size_t(frames) * channels, 0);
    // A start where the signal crosses zero upwards keeps a steady tone standing still.
    int best = 0, bestScore = INT32_MIN;
    for (int i = 0; i < search; ++i) {
        const int a = FSamples[size_t(i + 4) * channels], b = FSamples[size_t(i + 5) * channels];
        if ((a < 0) != (b < 0)) {
            const int score = FSamples[size_t(i) * channels] - FSamples[size_t(i + 9) * channels];
            if (score > bestScore) {
                bestScore = score;
                best = i;
            }
        }
    }
    FillRect(0, 0, FWidth, FHeight, 0, 0, 0);
    const int band = FHeight / channels;
    const int h2 = band * 9 / 20;
    ff::SDL_SetRenderDrawColor(FRenderer, 255, 255, 255, 255);
    for (int ch = 0; ch < channels; ++ch) {
        const int centre = ch * band + band / 2;
        for (int x = 0; x < width; ++x) {
            const int y = (FSamples[size_t(best + x) * channels + ch] * h2) >> 15;
            const SDL_Rect bar =
                y >= 0 ? SDL_Rect{x, centre, 1, std::max(1, y)} : SDL_Rect{x, centre + y, 1, -y};
            ff::SDL_RenderFillRect(FRenderer, &bar);
        }
        if (ch > 0) {
            const SDL_Rect line{0, ch * band, width, 1};
            ff::SDL_RenderFillRect(FRenderer, &line);
        }
    }
    Present();
}

void TPlayerDisplay::ShowSpectrum() {
    TAudioDisplaySource* audio = FPlayback.AudioDisplaySource();
    if (audio == nullptr)
        return;
    const int channels = std::min(audio->Channels(), 2);
    int bits = 1;
    while ((1 << bits) < 2 * FHeight)
        ++bits;
    const int freqs = 1 << (bits - 1);
    const int n = 2 * freqs;
    if (bits != FTxBits) {
        if (FTx != nullptr)
            ff::av_tx_uninit(&FTx);
        const float scale = 1.0f;
        if (ff::av_tx_init(&FTx, &FTxFn, AV_TX_FLOAT_RDFT, 0, n, &scale, 0) < 0) {
            FTx = nullptr;
            FTxBits = 0;
            return;
        }
        FTxBits = bits;
        FTxIn.assign(size_t(n) + 2, 0.0f);
        FTxOut.assign(size_t(channels) * (freqs + 1) * 2, 0.0f);
    }
    if (!FPlayback.Paused) {
        FSamples.resize(size_t(n) * audio->Channels());
        audio->CopyDisplaySamples(FSamples.data(), n,
                                  audio->PendingBytes() / (2 * audio->Channels()));
    }
    if (FSamples.size() < size_t(n) * audio->Channels())
        return;
    for (int ch = 0; ch < channels; ++ch) {
        for (int x = 0; x < n; ++x) {
            const float w = float(x - freqs) / float(freqs);
            FTxIn[size_t(x)] = FSamples[size_t(x) * audio->Channels() + ch] * (1.0f - w * w);
        }
        FTxFn(FTx, FTxOut.data() + size_t(ch) * (freqs + 1) * 2, FTxIn.data(), sizeof(float));
    }
    const int x = FColumn;
    for (int y = 0; y < FHeight && y < freqs; ++y) {
        auto level = [&](int ch) {
            const float* bin = FTxOut.data() + size_t(ch) * (freqs + 1) * 2 + size_t(y) * 2;
            const double v =
                std::sqrt(std::sqrt(double(bin[0]) * bin[0] + double(bin[1]) * bin[1]) /
                          std::sqrt(double(freqs)));
            return int(std::min(255.0, v));
        };
        const int a = level(0), b = channels > 1 ? level(1) : a;
        FillRect(x, FHeight - 1 - y, 1, 1, Uint8(a), Uint8(b), Uint8((a + b) / 2));
    }
    if (++FColumn >= FWidth)
        FColumn = 0;
    Present();
}
