#include "media/mp3/TMP3Header.h"

namespace {

const int Kbps1[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};    // layer III
const int Kbps2[2][15] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}, // layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};     // layers II and III

} // namespace

void TMP3Header::ToBytes(unsigned char* d) const {
    d[0] = uint8_t(Bits >> 24);
    d[1] = uint8_t(Bits >> 16);
    d[2] = uint8_t(Bits >> 8);
    d[3] = uint8_t(Bits);
}

bool TMP3Header::Valid() const {
    return (Bits & 0xFFE00000u) == 0xFFE00000u && (Bits >> 19 & 3) != 1 && (Bits >> 17 & 3) != 0 &&
           BitrateIndex() != 15 && (Bits >> 10 & 3) != 3;
}

int TMP3Header::Kbps() const {
    if (!Valid())
        return 0;
    const int layer = Layer();
    return Mpeg1() ? Kbps1[layer - 1][BitrateIndex()]
                   : Kbps2[layer == 1 ? 0 : 1][BitrateIndex()];
}

int TMP3Header::SampleRate() const {
    static const int Rates[3] = {44100, 48000, 32000};
    if (!Valid())
        return 0;
    const int version = int(Bits >> 19 & 3); // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    return Rates[Bits >> 10 & 3] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
}

int TMP3Header::SamplesPerFrame() const {
    if (Layer() == 1)
        return 384;
    return Layer() == 3 && !Mpeg1() ? 576 : 1152;
}

int TMP3Header::FrameLength() const {
    const int kbps = Kbps();
    const int rate = SampleRate();
    if (kbps == 0 || rate == 0)
        return 0;
    if (Layer() == 1)
        return (12000 * kbps / rate + (Padded() ? 1 : 0)) * 4;
    const int factor = Layer() == 3 && !Mpeg1() ? 72000 : 144000;
    return factor * kbps / rate + (Padded() ? 1 : 0);
}

int TMP3Header::SideInfoSize() const {
    if (Layer() != 3)
        return 0;
    return Mpeg1() ? (Mono() ? 17 : 32) : (Mono() ? 9 : 17);
}

TMP3Header TMP3Header::WithBitrate(int bitrateIndex) const {
    // Protection bit set (no CRC), padding and private bits cleared, mode extension kept.
    return TMP3Header((Bits & 0xFFFE0DFFu & ~0x200u & ~0x100u) | 0x10000u |
                      uint32_t(bitrateIndex & 15) << 12);
}
