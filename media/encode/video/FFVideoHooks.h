#pragma once
// The video hooks and the preview of a run. A hook receives each picture as an RGB bitmap, may
// change it (update) and may ask to receive no more pictures (stop-hook); what it changed is
// converted back into the picture. The preview hands a bitmap of an encoded picture to the
// owner at most once per interval, either through a callback or to a preview window.
//
// Threads: hooks and previews run on the run's thread. The preview flags are also set from the
// owner's thread while a run goes on (TFFPreviewControl); everything else here belongs to the
// run's thread.

#include "media/encode/video/FFRgbBitmap.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// bitmap, stop-hook (in: false), update (in: true), pts µs, frame number.
using TVideoHookFn =
    std::function<void(TBitmap& bitmap, bool& stopHook, bool& update, int64_t pts, int frame)>;
// bitmap, pts µs, frame number.
using TPreviewBitmapFn = std::function<void(TBitmap& bitmap, int64_t pts, int frame)>;
// A window that shows pictures; false once the user has closed it.
class TPreviewSink {
public:
    virtual ~TPreviewSink() = default;
    virtual bool ShowPicture(const TBitmap& bitmap, int frame, int64_t pts) = 0;
};
using TPreviewSinkFactory = std::function<std::shared_ptr<TPreviewSink>()>;

struct TFFVideoCallbacks {
    TVideoHookFn InputHook;
    TVideoHookFn OutputHook;
    TPreviewBitmapFn PreviewBitmap;
    TPreviewSinkFactory PreviewWindow; // makes the window on first use
};

// Preview bits: 1 = into a preview window, 2 = through the preview-bitmap callback.
enum : int { PreviewToWindow = 1, PreviewToBitmap = 2 };

// The engine-wide preview settings, shared between the owner's thread and the run.
class TFFPreviewControl {
public:
    void SetFlags(int flags) {
        std::lock_guard<std::mutex> lock(FLock);
        FFlags = flags;
        FChanged = true;
    }
    int Flags() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FFlags;
    }
    void SetBitDepth(int depth) {
        std::lock_guard<std::mutex> lock(FLock);
        FBitDepth = depth;
    }
    int BitDepth() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FBitDepth;
    }
    // The run's view: the flags with the changed mark, which it clears.
    int TakeFlags(bool& changed) {
        std::lock_guard<std::mutex> lock(FLock);
        changed = FChanged;
        FChanged = false;
        return FFlags;
    }
    // The run clears a bit whose receiver failed, unless the owner set new flags meanwhile.
    void ClearBit(int bit, int seenFlags) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FFlags == seenFlags)
            FFlags &= ~bit;
    }

private:
    mutable std::mutex FLock; // guards the three fields below
    int FFlags = 0;
    bool FChanged = false;
    int FBitDepth = 24;
};

// One video hook (input or output) with its converter.
class TFFVideoHook {
public:
    void Assign(TVideoHookFn fn, int bitDepth) {
        FFn = std::move(fn);
        FConverter.SetDepth(bitDepth);
    }
    bool Assigned() const { return bool(FFn); }
    // The hook protocol on picture, which must be writable. True when the bitmap holds the
    // picture as it now is (the preview may use it).
    bool Run(AVFrame* picture, int64_t pts, int frame);
    const TBitmap& Bitmap() const { return FBitmap; }
    int Depth() const { return FConverter.Depth(); }

private:
    TVideoHookFn FFn;
    TFFRgbConverter FConverter;
    TBitmap FBitmap;
};

class TFFVideoPreview {
public:
    static constexpr int64_t Interval = 100000; // µs between two previews at least

    TFFVideoPreview(TFFPreviewControl& control, TPreviewBitmapFn bitmapFn,
                    TPreviewSinkFactory windowFactory)
        : FControl(control), FBitmapFn(std::move(bitmapFn)), FWindowFactory(std::move(windowFactory)) {
        FConverter.SetDepth(control.BitDepth());
    }
    // One encoded picture; ready, when not null, is the picture already as a bitmap.
    void Show(const AVFrame* picture, int64_t pts, int frame, const TBitmap* ready);

private:
    bool Due() const;
    void Stamp();

    TFFPreviewControl& FControl;
    TPreviewBitmapFn FBitmapFn;
    TPreviewSinkFactory FWindowFactory;
    std::shared_ptr<TPreviewSink> FWindow;
    TFFRgbConverter FConverter;
    TBitmap FBitmap;
    int64_t FLast = INT64_MIN; // µs, monotonic clock of the last preview
};
