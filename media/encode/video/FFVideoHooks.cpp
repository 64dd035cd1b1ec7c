#include "media/encode/video/FFVideoHooks.h"

#include "media/encode/loop/FFLoopSupport.h"

#include <exception>

using namespace ffstage;

bool TFFVideoHook::Run(AVFrame* picture, int64_t pts, int frame) {
    if (!FFn)
        return false;
    if (!FConverter.ToBitmap(picture, FBitmap)) {
        Log(TStageLog::Error, QStringLiteral("Cannot initialize the toRGB conversion context"));
        FFn = nullptr;
        return false;
    }
    bool stopHook = false;
    bool update = true;
    try {
        FFn(FBitmap, stopHook, update, pts, frame);
    } catch (const std::exception& e) {
        Log(TStageLog::Error,
            QStringLiteral("Error occurs VideoHook event: ") + QString::fromLocal8Bit(e.what()));
        update = false;
    } catch (...) {
        Log(TStageLog::Error, QStringLiteral("Error occurs VideoHook event: unknown exception"));
        update = false;
    }
    bool holdsPicture = true;
    if (update) {
        if (!FConverter.FromBitmap(FBitmap, picture)) {
            Log(TStageLog::Error,
                QStringLiteral("Cannot initialize the fromRGB conversion context"));
            FFn = nullptr;
            return false;
        }
    } else {
        // The bitmap may have been drawn on: only the picture is what gets encoded.
        holdsPicture = false;
    }
    if (stopHook)
        FFn = nullptr;
    return holdsPicture;
}

bool TFFVideoPreview::Due() {
    const int64_t now = ff::av_gettime_relative();
    if (FLast != INT64_MIN && now - FLast <= Interval)
        return false;
    FLast = now;
    return true;
}

void TFFVideoPreview::Show(const AVFrame* picture, int64_t pts, int frame, const QImage* ready) {
    bool changed = false;
    const int flags = FControl.TakeFlags(changed);
    if (changed)
        FConverter.SetDepth(FControl.BitDepth());
    const bool toBitmap = (flags & PreviewToBitmap) && FBitmapFn;
    const bool toWindow = !toBitmap && (flags & PreviewToWindow) && FWindowFactory;
    if ((!toBitmap && !toWindow) || !Due())
        return;
    QImage* bitmap = &FBitmap;
    if (ready && ready->format() == FConverter.ImageFormat()) {
        FBitmap = *ready; // shares the pixels until someone writes
    } else if (!FConverter.ToBitmap(picture, FBitmap)) {
        Log(TStageLog::Error, QStringLiteral("Cannot initialize the toRGB conversion context"));
        FControl.ClearBit(toBitmap ? PreviewToBitmap : PreviewToWindow, flags);
        return;
    }
    if (toBitmap) {
        FBitmapFn(*bitmap, pts, frame);
        return;
    }
    if (!FWindow)
        FWindow = FWindowFactory();
    if (!FWindow || !FWindow->ShowPicture(*bitmap, frame, pts))
        FControl.ClearBit(PreviewToWindow, flags);
}
