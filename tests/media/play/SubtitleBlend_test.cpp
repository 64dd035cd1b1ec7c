// Blending a bitmap subtitle into a YUV 4:2:0 picture: the colour conversion of the palette, the
// alpha mix of luma and of the shared chroma, and the clipping at the picture's edges.
#include "media/play/TSubtitleDecoder.h"

#include "media/FFLoad.h"
#include "PlayerTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct TPicture {
    AVFramePtr Frame = MakeFrame();
    TPicture(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
        Frame->width = w;
        Frame->height = h;
        Frame->format = AV_PIX_FMT_YUV420P;
        EXPECT_GE(ff::av_frame_get_buffer(Frame.get(), 0), 0);
        for (int row = 0; row < h; ++row)
            std::memset(Frame->data[0] + row * Frame->linesize[0], y, size_t(w));
        for (int row = 0; row < (h + 1) / 2; ++row) {
            std::memset(Frame->data[1] + row * Frame->linesize[1], u, size_t((w + 1) / 2));
            std::memset(Frame->data[2] + row * Frame->linesize[2], v, size_t((w + 1) / 2));
        }
    }
    int Y(int x, int y) const { return Frame->data[0][y * Frame->linesize[0] + x]; }
    int U(int cx, int cy) const { return Frame->data[1][cy * Frame->linesize[1] + cx]; }
};

// A rectangle of one palette colour (already YUVA, as the subtitle thread leaves it).
struct TRect {
    std::vector<uint8_t> Bitmap;
    uint32_t Palette[256] = {};
    AVSubtitleRect Rect{};
    TRect(int x, int y, int w, int h, uint32_t yuva) {
        Bitmap.assign(size_t(w * h), 1);
        Palette[1] = yuva;
        Rect.type = SUBTITLE_BITMAP;
        Rect.x = x;
        Rect.y = y;
        Rect.w = w;
        Rect.h = h;
        Rect.nb_colors = 2;
        Rect.data[0] = Bitmap.data();
        Rect.data[1] = reinterpret_cast<uint8_t*>(Palette);
        Rect.linesize[0] = w;
    }
};

uint32_t Yuva(int a, int y, int u, int v) {
    return uint32_t(a) << 24 | uint32_t(y) << 16 | uint32_t(u) << 8 | uint32_t(v);
}

} // namespace

TEST(SubtitleBlend, PaletteColoursBecomeStudioRangeYuvWithTheirAlpha) {
    EXPECT_EQ(PaletteRgbaToYuva(0xFFFFFFFF), Yuva(255, 235, 128, 128));
    EXPECT_EQ(PaletteRgbaToYuva(0x80000000), Yuva(128, 16, 128, 128));
    EXPECT_EQ(PaletteRgbaToYuva(0xFFFF0000), Yuva(255, 81, 90, 240));
}

TEST(SubtitleBlend, AlphaMixesLumaPerPixelAndChromaPerBlock) {
    playtest::LoadPlayerLibraries();
    TPicture picture(8, 8, 100, 100, 100);
    TRect opaque(0, 0, 4, 4, Yuva(255, 200, 50, 60));
    BlendSubtitleRect(picture.Frame.get(), &opaque.Rect);
    EXPECT_EQ(picture.Y(0, 0), 200);
    EXPECT_EQ(picture.Y(3, 3), 200);
    EXPECT_EQ(picture.Y(4, 4), 100); // outside
    EXPECT_EQ(picture.U(1, 1), 50);
    EXPECT_EQ(picture.U(2, 2), 100);

    TPicture half(8, 8, 100, 100, 100);
    TRect translucent(0, 0, 4, 4, Yuva(102, 200, 200, 200)); // 40 %
    BlendSubtitleRect(half.Frame.get(), &translucent.Rect);
    EXPECT_EQ(half.Y(1, 1), (100 * 153 + 200 * 102) / 255);
    EXPECT_EQ(half.U(0, 0), (100 * 4 * 153 + 800 * 102) / (255 * 4));

    // An odd edge: the block at x 2..3 has one pixel of the rectangle in each row (k = 2), and
    // its alpha counts a quarter of the two pixels' sum.
    TPicture edge(8, 8, 100, 100, 100);
    TRect narrow(0, 0, 3, 2, Yuva(255, 200, 50, 60));
    BlendSubtitleRect(edge.Frame.get(), &narrow.Rect);
    EXPECT_EQ(edge.U(1, 0), (100 * 2 * (255 - 127) + 100 * 127) / (255 * 2));
}

TEST(SubtitleBlend, ARectangleReachingOutOfThePictureIsClipped) {
    playtest::LoadPlayerLibraries();
    TPicture picture(6, 6, 100, 100, 100);
    TRect outside(-3, 4, 12, 5, Yuva(255, 200, 50, 60)); // left, right and below
    BlendSubtitleRect(picture.Frame.get(), &outside.Rect);
    EXPECT_EQ(picture.Y(0, 4), 200);
    EXPECT_EQ(picture.Y(5, 5), 200);
    EXPECT_EQ(picture.Y(5, 3), 100);
    TRect beyond(10, 10, 4, 4, Yuva(255, 200, 50, 60));
    BlendSubtitleRect(picture.Frame.get(), &beyond.Rect); // nothing to draw, nothing touched
    EXPECT_EQ(picture.Y(5, 3), 100);
}
