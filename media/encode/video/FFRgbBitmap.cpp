#include "media/encode/video/FFRgbBitmap.h"

#include <cstdlib>
#include <cstring>

namespace {

// The scaler's vector code reads and writes whole blocks and may pass the end of the last line
// by a few dozen bytes; a QImage buffer ends exactly there, sometimes at the end of a page.
constexpr size_t ScalerPadding = 64;

void FreeBuffer(void* buffer) {
    std::free(buffer);
}

// A bitmap with the padding the scaler needs behind its last line.
QImage PaddedImage(int w, int h, QImage::Format format) {
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qsizetype bytesPerLine = ((qsizetype(w) * depth + 31) / 32) * 4;
    const size_t size = size_t(bytesPerLine) * size_t(h) + ScalerPadding;
    auto* buffer = static_cast<uchar*>(std::malloc(size));
    if (buffer == nullptr)
        return QImage();
    std::memset(buffer + size - ScalerPadding, 0, ScalerPadding);
    return QImage(buffer, w, h, bytesPerLine, format, FreeBuffer, buffer);
}

// BGR8 packs 2 bits of blue, 3 of green and 3 of red (from the top): the image's colour table
// has to say so, or an 8-bit bitmap would show an arbitrary palette.
QList<QRgb> Bgr8Palette() {
    QList<QRgb> table;
    table.reserve(256);
    for (int i = 0; i < 256; ++i)
        table.push_back(qRgb((i & 7) * 255 / 7, ((i >> 3) & 7) * 255 / 7, ((i >> 6) & 3) * 255 / 3));
    return table;
}

} // namespace

void TFFRgbConverter::SetDepth(int bitDepth) {
    switch (bitDepth) {
    case 8:
        FImageFormat = QImage::Format_Indexed8;
        FPixelFormat = AV_PIX_FMT_BGR8;
        break;
    case 15:
        FImageFormat = QImage::Format_RGB555;
        FPixelFormat = AV_PIX_FMT_RGB555LE;
        break;
    case 16:
        FImageFormat = QImage::Format_RGB16;
        FPixelFormat = AV_PIX_FMT_RGB565LE;
        break;
    case 32:
        // 0xffRRGGBB words: B, G, R, A in memory on the little-endian machines we run on.
        FImageFormat = QImage::Format_RGB32;
        FPixelFormat = AV_PIX_FMT_BGRA;
        break;
    default:
        bitDepth = 24;
        FImageFormat = QImage::Format_RGB888;
        FPixelFormat = AV_PIX_FMT_RGB24;
        break;
    }
    if (bitDepth != FDepth) {
        FTo.reset();
        FFrom.reset();
    }
    FDepth = bitDepth;
}

bool TFFRgbConverter::IsOurs(const QImage& bitmap) const {
    // cacheKey(): the image data's serial number above, its detach count below.
    return FPadded != nullptr && bitmap.constBits() == FPadded &&
           (bitmap.cacheKey() >> 32) == FPaddedSerial;
}

bool TFFRgbConverter::ToBitmap(const AVFrame* picture, QImage& bitmap) {
    const int w = picture->width, h = picture->height;
    if (w <= 0 || h <= 0)
        return false;
    // Only a bitmap of ours that nobody else shares is written in place: any other (a handler
    // may have assigned one, the preview may hold a copy) gets a padded buffer of its own.
    if (bitmap.width() != w || bitmap.height() != h || bitmap.format() != FImageFormat ||
        !IsOurs(bitmap) || !bitmap.isDetached()) {
        bitmap = PaddedImage(w, h, FImageFormat);
        FPadded = bitmap.constBits();
        FPaddedSerial = bitmap.cacheKey() >> 32;
        if (bitmap.isNull())
            return false;
        if (FImageFormat == QImage::Format_Indexed8)
            bitmap.setColorTable(Bgr8Palette());
    }
    FTo.reset(ff::sws_getCachedContext(FTo.release(), w, h, AVPixelFormat(picture->format), w, h,
                                       FPixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!FTo)
        return false;
    uint8_t* dst[4] = {bitmap.bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(bitmap.bytesPerLine()), 0, 0, 0};
    ff::sws_scale(FTo.get(), picture->data, picture->linesize, 0, h, dst, dstStride);
    return true;
}

bool TFFRgbConverter::FromBitmap(const QImage& bitmap, AVFrame* picture) {
    const int w = picture->width, h = picture->height;
    if (bitmap.width() != w || bitmap.height() != h || bitmap.format() != FImageFormat)
        return false;
    FFrom.reset(ff::sws_getCachedContext(FFrom.release(), w, h, FPixelFormat, w, h,
                                         AVPixelFormat(picture->format), SWS_BICUBIC, nullptr,
                                         nullptr, nullptr));
    if (!FFrom)
        return false;
    const uint8_t* bits = bitmap.constBits();
    if (!IsOurs(bitmap)) {
        // A bitmap the handler put in place of ours: read through a padded copy.
        const size_t size = size_t(bitmap.sizeInBytes());
        FScratch.resize(size + ScalerPadding);
        std::memcpy(FScratch.data(), bits, size);
        bits = FScratch.data();
    }
    const uint8_t* src[4] = {bits, nullptr, nullptr, nullptr};
    const int srcStride[4] = {int(bitmap.bytesPerLine()), 0, 0, 0};
    ff::sws_scale(FFrom.get(), src, srcStride, 0, h, picture->data, picture->linesize);
    return true;
}
