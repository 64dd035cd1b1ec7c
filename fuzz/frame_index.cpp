// The MP3 frame-header walk of the frame index, on any bytes: from the start and from an offset
// the input chooses, plus the header decoder on every 32-bit word of the input.
#include "fuzz/FuzzSupport.h"
#include "media/encode/input/FFMP3FrameIndex.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzsupport::TScratchFile file("snipwave-fuzz-index", ".mp3");
    if (!file.Write(data, size))
        return 0;
    for (int64_t first : {int64_t(0), size > 0 ? int64_t(data[0]) * 7 : int64_t(0)}) {
        TMP3FrameIndex index;
        if (index.Build(file.Name(), first)) {
            int64_t last = -1;
            for (int64_t p : index.Positions()) {
                // The walk only ever moves forward and stays inside the file.
                if (p <= last || p < 0 || p >= int64_t(size))
                    __builtin_trap();
                last = p;
            }
        }
    }
    for (size_t i = 0; i + 4 <= size; ++i) {
        const uint32_t h = uint32_t(data[i]) << 24 | uint32_t(data[i + 1]) << 16 |
                           uint32_t(data[i + 2]) << 8 | uint32_t(data[i + 3]);
        int samples = 0, rate = 0;
        const int length = TMP3FrameIndex::FrameLength(h, &samples, &rate);
        if (length < 0 || (length > 0 && (rate <= 0 || samples <= 0)))
            __builtin_trap();
    }
    return 0;
}
