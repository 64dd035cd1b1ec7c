#include "app/BitmapImage.h"

#include <QColor>
#include <QList>

namespace {

// The image format with the bitmap format's byte layout.
QImage::Format ImageFormat(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_BGR8:
        return QImage::Format_Indexed8;
    case AV_PIX_FMT_RGB555LE:
        return QImage::Format_RGB555;
    case AV_PIX_FMT_RGB565LE:
        return QImage::Format_RGB16;
    case AV_PIX_FMT_RGB24:
        return QImage::Format_RGB888;
    case AV_PIX_FMT_BGRA:
    case AV_PIX_FMT_BGR0:
        // 0xffRRGGBB words on the little-endian machines we run on.
        return QImage::Format_RGB32;
    default:
        return QImage::Format_Invalid;
    }
}

// BGR8 packs 2 bits of blue, 3 of green and 3 of red (from the top): the colour table has to
// say so, or an 8-bit picture would show an arbitrary palette.
QList<QRgb> Bgr8Palette() {
    QList<QRgb> table;
    table.reserve(256);
    for (int i = 0; i < 256; ++i)
        table.push_back(qRgb((i & 7) * 255 / 7, ((i >> 3) & 7) * 255 / 7, ((i >> 6) & 3) * 255 / 3));
    return table;
}

void ReleaseBitmap(void* bitmap) {
    delete static_cast<TBitmap*>(bitmap);
}

} // namespace

QImage ImageOf(const TBitmap& bitmap) {
    const QImage::Format format = ImageFormat(bitmap.Format());
    if (bitmap.IsNull() || format == QImage::Format_Invalid)
        return QImage();
    auto* shared = new TBitmap(bitmap);
    QImage image(shared->ConstBits(), shared->Width(), shared->Height(), shared->BytesPerLine(),
                 format, ReleaseBitmap, shared);
    if (format == QImage::Format_Indexed8)
        image.setColorTable(Bgr8Palette());
    return image;
}

TBitmap BitmapOf(const QImage& image, AVPixelFormat format) {
    const QImage::Format imageFormat = ImageFormat(format);
    if (image.isNull() || imageFormat == QImage::Format_Invalid)
        return TBitmap();
    const QImage converted =
        image.format() == imageFormat ? image : image.convertToFormat(imageFormat, Bgr8Palette());
    return TBitmap::CopyOf(converted.constBits(), converted.width(), converted.height(),
                           int(converted.bytesPerLine()), format);
}
