// The MP3 frame-header walk of the frame index, on any bytes: from the start and from an offset
// the input chooses, for every frame, a frame the input chooses and the last ones, plus the header
// decoder on every 32-bit word of the input.
#include "fuzz/FuzzSupport.h"
#include "media/mp3/FFMP3FrameIndex.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzsupport::TScratchFile file("snipwave-fuzz-index", ".mp3");
    if (!file.Write(data, size))
        return 0;
    const int64_t wantedFrames[] = {0, size > 1 ? int64_t(data[1]) * 3 : 1, INT64_MAX};
    // After a frame at the very start, as after an info tag's frame: that lets the walk count
    // back from the end when the tag agrees with the input.
    const int64_t afterFirst =
        size >= 4 ? TMP3FrameIndex::FrameLength(uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 |
                                                    uint32_t(data[2]) << 8 | uint32_t(data[3]),
                                                nullptr, nullptr)
                  : 0;
    for (int64_t first : {int64_t(0), size > 0 ? int64_t(data[0]) * 7 : int64_t(0), afterFirst})
        for (int64_t wanted : wantedFrames) {
            TMP3FrameIndex index;
            if (!index.Build(file.Name(), first, wanted))
                continue;
            int64_t last = -1;
            for (int64_t p : index.Positions()) {
                // The walk only ever moves forward and stays inside the file.
                if (p <= last || p < 0 || p >= int64_t(size))
                    __builtin_trap();
                last = p;
            }
            // Counted back from the end, the first indexed frame is at or before the wanted one
            // (the last one when the wanted frame lies past the end), and after the first frame.
            if (index.FirstNumber() < 0 || index.Positions().empty() ||
                (index.FirstNumber() > 0 &&
                 (index.FirstNumber() > wanted || index.Positions().front() <= first ||
                  !index.ReachedEnd())))
                __builtin_trap();
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
