#pragma once
// Pictures as RGB bitmaps for the video hooks and the preview: a bitmap whose layout follows a
// bit depth (24 by default), and the conversions from a decoded picture into it and back. The
// scaler contexts are cached per direction and rebuilt only when sizes or formats change.
// One converter belongs to one user (input hook, output hook, preview) on the run's thread.

#include "media/AVPtr.h"
#include "media/TBitmap.h"

#include <cstdint>

class TFFRgbConverter {
public:
    explicit TFFRgbConverter(int bitDepth = 24) { SetDepth(bitDepth); }

    // 8, 15, 16, 32; anything else means 24. Changing it frees the cached contexts.
    void SetDepth(int bitDepth);
    int Depth() const { return FDepth; }
    // The bitmaps' layout at this depth.
    AVPixelFormat PixelFormat() const { return FPixelFormat; }

    // picture (width × height, its own pixel format) into bitmap, which is reallocated when its
    // size or format differs or its pixels are not ours alone. False when no conversion
    // context could be made.
    bool ToBitmap(const AVFrame* picture, TBitmap& bitmap);
    // bitmap back into picture, whose buffers must be writable. A handler may have put a bitmap
    // of another layout in place of ours; one of another size is refused. False as above.
    bool FromBitmap(const TBitmap& bitmap, AVFrame* picture);

private:
    int FDepth = 24;
    AVPixelFormat FPixelFormat = AV_PIX_FMT_RGB24;
    SwsContextPtr FTo;   // picture -> bitmap
    SwsContextPtr FFrom; // bitmap -> picture
    uint64_t FOurs = 0;  // serial of the last bitmap ToBitmap made
};
