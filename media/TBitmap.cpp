#include "media/TBitmap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace {

// The scaler's vector code may pass the end of the last line by a few dozen bytes.
constexpr size_t ScalerPadding = 64;

uint64_t NextSerial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

} // namespace

int TBitmap::BitsPerPixel(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_BGR8:
        return 8;
    case AV_PIX_FMT_RGB555LE:
    case AV_PIX_FMT_RGB565LE:
        return 16;
    case AV_PIX_FMT_RGB24:
        return 24;
    case AV_PIX_FMT_BGRA:
    case AV_PIX_FMT_BGR0:
        return 32;
    default:
        return 0;
    }
}

TBitmap::TBitmap(int width, int height, AVPixelFormat format) {
    const int depth = BitsPerPixel(format);
    if (width <= 0 || height <= 0 || depth == 0)
        return;
    const int64_t bytesPerLine = ((int64_t(width) * depth + 31) / 32) * 4;
    if (bytesPerLine > INT32_MAX || bytesPerLine * height > int64_t(INT32_MAX))
        return;
    auto data = std::make_shared<TData>();
    data->Pixels.reset(new (std::nothrow) uint8_t[size_t(bytesPerLine) * height + ScalerPadding]());
    if (!data->Pixels)
        return;
    data->Width = width;
    data->Height = height;
    data->BytesPerLine = int(bytesPerLine);
    data->Format = format;
    data->Serial = NextSerial();
    FData = std::move(data);
}

TBitmap TBitmap::CopyOf(const uint8_t* pixels, int width, int height, int bytesPerLine,
                        AVPixelFormat format) {
    TBitmap bitmap(width, height, format);
    if (bitmap.IsNull() || pixels == nullptr)
        return TBitmap();
    const size_t line = size_t(std::min(bitmap.BytesPerLine(), bytesPerLine));
    for (int y = 0; y < height; ++y)
        std::memcpy(bitmap.FData->Pixels.get() + size_t(y) * bitmap.BytesPerLine(),
                    pixels + size_t(y) * size_t(bytesPerLine), line);
    return bitmap;
}

uint8_t* TBitmap::Bits() {
    if (!FData)
        return nullptr;
    if (FData.use_count() > 1)
        *this = Copy();
    return FData->Pixels.get();
}

TBitmap TBitmap::Copy() const {
    if (!FData)
        return TBitmap();
    return CopyOf(FData->Pixels.get(), FData->Width, FData->Height, FData->BytesPerLine,
                  FData->Format);
}
