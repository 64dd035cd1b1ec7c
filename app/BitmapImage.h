#pragma once
// The media layer's pictures (TBitmap) as the window's (QImage), both ways. ImageOf shares the
// bitmap's pixels rather than copying them: the image keeps the bitmap alive and copies only
// when it is written to.

#include "media/TBitmap.h"

#include <QImage>

// Null for a null bitmap.
QImage ImageOf(const TBitmap& bitmap);
// The image in the bitmap layout format (one TBitmap takes); a null bitmap for a null image or
// another format.
TBitmap BitmapOf(const QImage& image, AVPixelFormat format);
