#include "media/encode/FFMP3FrameIndex.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

int TMP3FrameIndex::FrameLength(uint32_t h, int* samples, int* rate) {
    if ((h & 0xFFE00000u) != 0xFFE00000u)
        return 0;
    const int version = int(h >> 19) & 3; // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    const int layer = int(h >> 17) & 3;   // 1 = layer III
    const int bitrateIndex = int(h >> 12) & 15;
    const int rateIndex = int(h >> 10) & 3;
    const int padding = int(h >> 9) & 1;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    static const int Mpeg1Kbps[15] = {0,   32,  40,  48,  56,  64,  80, 96,
                                      112, 128, 160, 192, 224, 256, 320};
    static const int Mpeg2Kbps[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int Mpeg1Rates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int hz = Mpeg1Rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int kbps = (mpeg1 ? Mpeg1Kbps : Mpeg2Kbps)[bitrateIndex];
    if (samples)
        *samples = mpeg1 ? 1152 : 576;
    if (rate)
        *rate = hz;
    return (mpeg1 ? 144000 : 72000) * kbps / hz + padding;
}

namespace {

// The file read through one reused window. Reading, not mapping: every page of a map that the
// walk touches counts toward the process's memory (a whole-file map of a long file doubled the
// peak of a cut), and a map faults with SIGBUS when another program shortens the file. One
// buffer for the whole walk spares a fresh allocation, and its page faults, per window.
class TWindowReader {
public:
    explicit TWindowReader(const QString& fileName) : FBuffer(size_t(Window)) {
        FFd = ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (FFd >= 0 && ::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode))
            FSize = st.st_size;
    }
    ~TWindowReader() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TWindowReader(const TWindowReader&) = delete;
    TWindowReader& operator=(const TWindowReader&) = delete;

    int64_t Size() const { return FSize; }

    // The four bytes at at as a big-endian number; false past what can be read.
    bool Header(int64_t at, uint32_t& h) {
        if (at < 0 || at + 4 > FSize)
            return false;
        if (at < FStart || at + 4 > FStart + FLength) {
            FStart = at;
            FLength = 0;
            while (FLength < Window) {
                const ssize_t n = ::pread(FFd, FBuffer.data() + FLength, size_t(Window - FLength),
                                          FStart + FLength);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                FLength += n;
            }
            if (FLength < 4)
                return false;
        }
        const uchar* d = FBuffer.data() + (at - FStart);
        h = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | uint32_t(d[3]);
        return true;
    }

private:
    static constexpr int64_t Window = int64_t(1) << 20;

    std::vector<uchar> FBuffer;
    int FFd = -1;
    int64_t FSize = -1;
    int64_t FStart = 0;
    int64_t FLength = 0;
};

} // namespace

bool TMP3FrameIndex::Build(const QString& fileName, int64_t firstFrame) {
    Pos.clear();
    Samples = Rate = 0;
    Complete = false;
    TWindowReader file(fileName);
    const int64_t size = file.Size();
    if (firstFrame < 0 || size < 0 || firstFrame + 4 > size)
        return false;
    // Version, layer and sample rate bits must stay those of the first frame: a change would
    // make the demuxer's timestamps and frame split differ from a plain sum of frame lengths.
    constexpr uint32_t FixedBits = 0xFFFE0C00u;
    uint32_t first = 0;
    if (!file.Header(firstFrame, first) || FrameLength(first, &Samples, &Rate) == 0)
        return false;
    // A constant bit rate gives about this many frames; reserving saves the vector's regrowth.
    Pos.reserve(size_t((size - firstFrame) / std::max(1, FrameLength(first, nullptr, nullptr))) +
                16);
    int64_t at = firstFrame;
    while (at + 4 <= size) {
        uint32_t h = 0;
        if (!file.Header(at, h))
            break;
        const int length =
            (h & FixedBits) == (first & FixedBits) ? FrameLength(h, nullptr, nullptr) : 0;
        if (length == 0 || at + length > size)
            break;
        Pos.push_back(at);
        at += length;
    }
    Complete = at + 4 > size || size - at <= 128 + 4; // at most an ID3v1 tag after the frames
    return !Pos.empty();
}
