// The layer III side-information reader and writer on any bytes, under each of the four side
// information layouts (MPEG-1 or 2, mono or stereo) and the input's own header: what is read is
// written back bit for bit, and its sizes stay within what the fields can say.
#include "media/mp3/TMP3SideInfo.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 + 32)
        return 0;
    const uint32_t headers[] = {
        0xFFFB9044u, // MPEG-1 joint stereo
        0xFFFB90C4u, // MPEG-1 mono
        0xFFF39044u, // MPEG-2 joint stereo
        0xFFE390C4u, // MPEG-2.5 mono
        uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3],
    };
    for (const uint32_t bits : headers) {
        const TMP3Header h(bits);
        TMP3SideInfo side;
        if (!side.Parse(h, data + 4)) {
            if (h.Valid() && h.Layer() == 3)
                __builtin_trap(); // every layer III header has side information to read
            continue;
        }
        unsigned char back[32];
        std::memset(back, 0, sizeof back);
        side.Write(back);
        if (std::memcmp(back, data + 4, size_t(h.SideInfoSize())) != 0)
            __builtin_trap();
        TMP3SideInfo again;
        if (!again.Parse(h, back) || again.MainDataBegin != side.MainDataBegin ||
            again.MainDataBytes() != side.MainDataBytes())
            __builtin_trap();
        if (side.MainDataBegin > side.MaxMainDataBegin() ||
            side.MainDataBytes() > side.Granules() * side.Channels() * 4095 / 8 + 4)
            __builtin_trap();
    }
    return 0;
}
