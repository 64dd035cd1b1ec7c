#include "media/mp3/TMP3InfoTag.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t U32(const unsigned char* d) {
    return uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
}

void PutU32(unsigned char* d, uint32_t v) {
    d[0] = uint8_t(v >> 24);
    d[1] = uint8_t(v >> 16);
    d[2] = uint8_t(v >> 8);
    d[3] = uint8_t(v);
}

// The Xing block: tag, flags, frames, bytes, TOC, quality.
constexpr int XingSize = 4 + 4 + 4 + 4 + 100 + 4;
// The LAME block after it; its last two bytes are the CRC of everything in the frame before them.
constexpr int LameSize = 36;

} // namespace

uint16_t LameCrc16(const unsigned char* d, int64_t n, uint16_t crc) {
    static const auto Table = [] {
        std::vector<uint16_t> t(256);
        for (unsigned i = 0; i < 256; ++i) {
            unsigned c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? (c >> 1) ^ 0xA001u : c >> 1;
            t[i] = uint16_t(c);
        }
        return t;
    }();
    for (int64_t i = 0; i < n; ++i)
        crc = uint16_t((crc >> 8) ^ Table[(crc ^ d[i]) & 0xFF]);
    return crc;
}

TMP3InfoTag::TRead TMP3InfoTag::Read(const unsigned char* d, int size) {
    TRead r;
    if (size < 4)
        return r;
    const TMP3Header h = TMP3Header::FromBytes(d);
    if (!h.Valid() || h.Layer() != 3)
        return r;
    // Decoders look for the tag right after the side information, CRC or not.
    int at = 4 + h.SideInfoSize();
    if (at + 8 > size)
        return r;
    const uint32_t tag = U32(d + at);
    if (tag != 0x58696E67u && tag != 0x496E666Fu) // "Xing", "Info"
        return r;
    r.Found = true;
    const uint32_t flags = U32(d + at + 4);
    at += 8;
    if (flags & 1) {
        if (at + 4 > size)
            return r;
        r.Frames = U32(d + at);
        at += 4;
    }
    at += (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
    if (at + 24 > size)
        return r;
    const uint32_t encoder = U32(d + at);
    // "LAME", "Lavf", "Lavc": the encoders whose delay and padding decoders apply.
    if (encoder != 0x4C414D45u && encoder != 0x4C617666u && encoder != 0x4C617663u)
        return r;
    r.Gapless = true;
    r.Delay = int(d[at + 21]) << 4 | d[at + 22] >> 4;
    r.Padding = int(d[at + 22] & 15) << 8 | d[at + 23];
    return r;
}

bool TMP3InfoTag::IsVbri(const unsigned char* d, int size) {
    return size >= 4 + 32 + 4 && std::memcmp(d + 36, "VBRI", 4) == 0;
}

std::vector<unsigned char> TMP3InfoTag::Build(TMP3Header shape) const {
    const int tagAt = 4 + shape.SideInfoSize();
    const int needed = tagAt + XingSize + LameSize;
    TMP3Header h = shape.WithBitrate(shape.BitrateIndex());
    if (h.FrameLength() < needed)
        for (int index = 1; index < 15; ++index) {
            h = shape.WithBitrate(index);
            if (h.FrameLength() >= needed)
                break;
        }
    std::vector<unsigned char> f(size_t(std::max(h.FrameLength(), needed)), 0);
    h.ToBytes(f.data());

    int64_t audioBytes = 0;
    for (const int n : FrameBytes)
        audioBytes += n;
    const int64_t total = int64_t(f.size()) + audioBytes;
    unsigned char* x = f.data() + tagAt;
    std::memcpy(x, Vbr ? "Xing" : "Info", 4);
    PutU32(x + 4, 0x0F); // frames, bytes, TOC and quality present
    PutU32(x + 8, uint32_t(FrameBytes.size()));
    PutU32(x + 12, uint32_t(std::min<int64_t>(total, UINT32_MAX)));
    // TOC: where each hundredth of the play time begins, in 256ths of the stream's bytes.
    {
        const size_t n = FrameBytes.size();
        int64_t pos = int64_t(f.size());
        size_t frame = 0;
        for (int i = 0; i < 100; ++i) {
            const size_t want = n * size_t(i) / 100;
            for (; frame < want; ++frame)
                pos += FrameBytes[frame];
            x[16 + i] = uint8_t(std::min<int64_t>(255, total > 0 ? pos * 256 / total : 0));
        }
    }
    PutU32(x + 116, 0); // quality: unknown
    unsigned char* l = x + XingSize;
    std::memcpy(l, "LAME3.100", 9);
    l[9] = Vbr ? 0x04 : 0x01; // tag revision 0; VBR method: 4 (VBR) or 1 (constant)
    l[20] = uint8_t(std::clamp(Kbps, 0, 255));
    const int delay = std::clamp(Delay, 0, 4095), padding = std::clamp(Padding, 0, 4095);
    l[21] = uint8_t(delay >> 4);
    l[22] = uint8_t((delay & 15) << 4 | padding >> 8);
    l[23] = uint8_t(padding);
    PutU32(l + 28, uint32_t(std::min<int64_t>(total, UINT32_MAX)));
    l[32] = uint8_t(MusicCrc >> 8);
    l[33] = uint8_t(MusicCrc);
    const uint16_t tagCrc = LameCrc16(f.data(), int64_t(l + 34 - f.data()));
    l[34] = uint8_t(tagCrc >> 8);
    l[35] = uint8_t(tagCrc);
    return f;
}
