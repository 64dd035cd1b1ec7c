#pragma once
// A picture as plain pixels: what the video hooks, the previews and the player's display hand
// to their owner. One packed RGB layout per bitmap, named by FFmpeg's pixel format, so the
// scaler converts into and out of it directly; the window turns it into what it draws (a
// QImage) without copying. The media layer keeps to this type rather than a toolkit's picture
// so that a program without a window (snipwave-cli) needs no graphics library.
//
// Copies share the pixels; Bits() gives a bitmap pixels of its own first (copy on write), so a
// handler that keeps a copy never sees it change. Every buffer has room behind its last line
// for the scaler's vector code, which reads and writes a few dozen bytes past it.
//
// Threads: a bitmap belongs to one thread at a time; copies on other threads share the pixels
// read-only (the count that tells them apart is atomic).

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <memory>

class TBitmap {
public:
    TBitmap() = default;
    // width × height in format, lines aligned to 4 bytes, pixels zero. Null when a size is not
    // positive, the format is not one of the packed RGB formats below, or memory runs out.
    TBitmap(int width, int height, AVPixelFormat format);
    // A bitmap of its own holding a copy of pixels, laid out in lines of bytesPerLine bytes.
    static TBitmap CopyOf(const uint8_t* pixels, int width, int height, int bytesPerLine,
                          AVPixelFormat format);

    // Bits per pixel of the formats a bitmap can have (BGR8, RGB555LE, RGB565LE, RGB24, BGRA,
    // BGR0); 0 for any other.
    static int BitsPerPixel(AVPixelFormat format);

    bool IsNull() const { return !FData; }
    int Width() const { return FData ? FData->Width : 0; }
    int Height() const { return FData ? FData->Height : 0; }
    int BytesPerLine() const { return FData ? FData->BytesPerLine : 0; }
    AVPixelFormat Format() const { return FData ? FData->Format : AV_PIX_FMT_NONE; }
    size_t SizeInBytes() const { return size_t(BytesPerLine()) * size_t(Height()); }

    const uint8_t* ConstBits() const { return FData ? FData->Pixels.get() : nullptr; }
    // Writable pixels, copied first when another bitmap shares them.
    uint8_t* Bits();
    // No other bitmap shares the pixels.
    bool IsDetached() const { return FData && FData.use_count() == 1; }
    // Names the pixels: two bitmaps with the same serial share them. Never 0 for a bitmap.
    uint64_t Serial() const { return FData ? FData->Serial : 0; }
    // A bitmap of its own with the same pixels.
    TBitmap Copy() const;

private:
    struct TData {
        int Width = 0, Height = 0, BytesPerLine = 0;
        AVPixelFormat Format = AV_PIX_FMT_NONE;
        uint64_t Serial = 0;
        std::unique_ptr<uint8_t[]> Pixels;
    };
    std::shared_ptr<TData> FData;
};
