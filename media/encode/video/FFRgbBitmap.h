#pragma once
// Pictures as RGB bitmaps for the video hooks and the preview: a QImage whose layout follows a
// bit depth (24 by default), and the conversions from a decoded picture into it and back. The
// scaler contexts are cached per direction and rebuilt only when sizes or formats change.
// One converter belongs to one user (input hook, output hook, preview) on the run's thread.

#include "media/AVPtr.h"

#include <QImage>

#include <cstdint>
#include <vector>

class TFFRgbConverter {
public:
    explicit TFFRgbConverter(int bitDepth = 24) { SetDepth(bitDepth); }

    // 8, 15, 16, 32; anything else means 24. Changing it frees the cached contexts.
    void SetDepth(int bitDepth);
    int Depth() const { return FDepth; }
    QImage::Format ImageFormat() const { return FImageFormat; }
    AVPixelFormat PixelFormat() const { return FPixelFormat; }

    // picture (width × height, its own pixel format) into bitmap, which is reallocated when its
    // size or format differs. False when no conversion context could be made.
    bool ToBitmap(const AVFrame* picture, QImage& bitmap);
    // bitmap back into picture, whose buffers must be writable. False as above.
    bool FromBitmap(const QImage& bitmap, AVFrame* picture);

private:
    int FDepth = 24;
    QImage::Format FImageFormat = QImage::Format_RGB888;
    AVPixelFormat FPixelFormat = AV_PIX_FMT_RGB24;
    SwsContextPtr FTo;   // picture -> bitmap
    SwsContextPtr FFrom; // bitmap -> picture
    // Whether bitmap is the last padded one ToBitmap made: the same pixels of the same image
    // data (a handler's image may be given the address ours had once ours was freed).
    bool IsOurs(const QImage& bitmap) const;

    const uchar* FPadded = nullptr; // pixels of the last padded bitmap ToBitmap made
    qint64 FPaddedSerial = -1;      // and the serial number of its image data
    std::vector<uint8_t> FScratch;  // padded copy of a bitmap that is not ours
};
