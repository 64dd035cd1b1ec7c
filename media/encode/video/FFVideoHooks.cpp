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

bool TFFVideoPreview::Due() const {
    return FLast == INT64_MIN || ff::av_gettime_relative() - FLast > Interval;
}

// Stamped when the picture is handed out, not when it was found due: the conversion in between
// takes varying time, and the receiver must never see two pictures closer than the interval.
void TFFVideoPreview::Stamp() {
    FLast = ff::av_gettime_relative();
}

void TFFVideoPreview::Show(const AVFrame* picture, int64_t pts, int frame, const TBitmap* ready) {
    bool changed = false;
    const int flags = FControl.TakeFlags(changed);
    if (changed)
        FConverter.SetDepth(FControl.BitDepth());
    const bool toBitmap = (flags & PreviewToBitmap) && FBitmapFn;
    const bool toWindow = !toBitmap && (flags & PreviewToWindow) && FWindowFactory;
    if ((!toBitmap && !toWindow) || !Due())
        return;
    TBitmap* bitmap = &FBitmap;
    if (ready && ready->Format() == FConverter.PixelFormat()) {
        FBitmap = *ready; // shares the pixels until someone writes
    } else if (!FConverter.ToBitmap(picture, FBitmap)) {
        Log(TStageLog::Error, QStringLiteral("Cannot initialize the toRGB conversion context"));
        FControl.ClearBit(toBitmap ? PreviewToBitmap : PreviewToWindow, flags);
        return;
    }
    if (toBitmap) {
        Stamp();
        FBitmapFn(*bitmap, pts, frame);
        return;
    }
    if (!FWindow)
        FWindow = FWindowFactory();
    Stamp();
    if (!FWindow || !FWindow->ShowPicture(*bitmap, frame, pts))
        FControl.ClearBit(PreviewToWindow, flags);
}
