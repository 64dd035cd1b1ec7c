#include "media/encode/video/FFRgbBitmap.h"

void TFFRgbConverter::SetDepth(int bitDepth) {
    switch (bitDepth) {
    case 8:
        // 2 bits of blue, 3 of green and 3 of red, from the top: a fixed palette.
        FPixelFormat = AV_PIX_FMT_BGR8;
        break;
    case 15:
        FPixelFormat = AV_PIX_FMT_RGB555LE;
        break;
    case 16:
        FPixelFormat = AV_PIX_FMT_RGB565LE;
        break;
    case 32:
        // 0xffRRGGBB words: B, G, R, A in memory on the little-endian machines we run on.
        FPixelFormat = AV_PIX_FMT_BGRA;
        break;
    default:
        bitDepth = 24;
        FPixelFormat = AV_PIX_FMT_RGB24;
        break;
    }
    if (bitDepth != FDepth) {
        FTo.reset();
        FFrom.reset();
    }
    FDepth = bitDepth;
}

bool TFFRgbConverter::ToBitmap(const AVFrame* picture, TBitmap& bitmap) {
    const int w = picture->width, h = picture->height;
    if (w <= 0 || h <= 0)
        return false;
    // Only a bitmap of ours that nobody else shares is written in place: any other (a handler
    // may have assigned one, the preview may hold a copy) gets pixels of its own.
    if (bitmap.Width() != w || bitmap.Height() != h || bitmap.Format() != FPixelFormat ||
        bitmap.Serial() != FOurs || !bitmap.IsDetached()) {
        bitmap = TBitmap(w, h, FPixelFormat);
        FOurs = bitmap.Serial();
        if (bitmap.IsNull())
            return false;
    }
    FTo.reset(ff::sws_getCachedContext(FTo.release(), w, h, AVPixelFormat(picture->format), w, h,
                                       FPixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!FTo)
        return false;
    uint8_t* dst[4] = {bitmap.Bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {bitmap.BytesPerLine(), 0, 0, 0};
    ff::sws_scale(FTo.get(), picture->data, picture->linesize, 0, h, dst, dstStride);
    return true;
}

bool TFFRgbConverter::FromBitmap(const TBitmap& bitmap, AVFrame* picture) {
    const int w = picture->width, h = picture->height;
    if (bitmap.Width() != w || bitmap.Height() != h || bitmap.IsNull())
        return false;
    // Every bitmap has the scaler's room behind its last line, so any one is read in place.
    FFrom.reset(ff::sws_getCachedContext(FFrom.release(), w, h, bitmap.Format(), w, h,
                                         AVPixelFormat(picture->format), SWS_BICUBIC, nullptr,
                                         nullptr, nullptr));
    if (!FFrom)
        return false;
    const uint8_t* src[4] = {bitmap.ConstBits(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {bitmap.BytesPerLine(), 0, 0, 0};
    ff::sws_scale(FFrom.get(), src, srcStride, 0, h, picture->data, picture->linesize);
    return true;
}
