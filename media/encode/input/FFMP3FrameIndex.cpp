#include "media/encode/input/FFMP3FrameIndex.h"

#include "media/FileNameBytes.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

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

bool TMP3FrameIndex::ReadInfoTag(const unsigned char* d, int size, uint32_t h,
                                 int64_t& paddingStart, int64_t& taggedSamples) {
    int samples = 0;
    if (FrameLength(h, &samples, nullptr) == 0)
        return false;
    auto u32 = [d](int i) {
        return uint32_t(d[i]) << 24 | uint32_t(d[i + 1]) << 16 | uint32_t(d[i + 2]) << 8 |
               uint32_t(d[i + 3]);
    };
    // The tag follows the side information, whose size the demuxer takes from the version and
    // channel mode alone; it is read at the same place here, or the two would disagree.
    const bool mono = ((h >> 6) & 3) == 3;
    int at = 4 + (samples == 1152 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (at + 8 > size)
        return false;
    const uint32_t tag = u32(at);
    if (tag != 0x58696E67u && tag != 0x496E666Fu) // "Xing", "Info"
        return false;
    const uint32_t flags = u32(at + 4);
    at += 8;
    int64_t frames = 0;
    if (flags & 1) {
        if (at + 4 > size)
            return false;
        frames = u32(at);
        at += 4;
    }
    at += (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
    // Encoder name (9 bytes), revision, low-pass, peak, two gains, flags, bit rate, then the
    // encoder delay and padding in 12 bits each.
    if (frames <= 0 || at + 24 > size)
        return false;
    const uint32_t encoder = u32(at);
    if (encoder != 0x4C414D45u && encoder != 0x4C617666u && encoder != 0x4C617663u)
        return false; // "LAME", "Lavf", "Lavc": the encoders whose padding the demuxer trusts
    const int endPadding = int(uint32_t(d[at + 22] & 15) << 8 | d[at + 23]);
    // 528 + 1: the decoder's own delay, by which the whole signal arrives late.
    taggedSamples = frames * samples;
    paddingStart = taggedSamples - endPadding + 528 + 1;
    return true;
}

void TMP3FrameIndex::FindInfoTag(QFile& file, int64_t firstFrame, uint32_t firstHeader) {
    // The tag's frame has the first frame's version and rate but any bit rate (a VBR file's tag
    // frame is the smallest that holds it): try each length that could end at firstFrame.
    constexpr uint32_t FixedBits = 0xFFFE0C00u;
    for (uint32_t bitrate = 1; bitrate < 15; ++bitrate)
        for (uint32_t padding = 0; padding < 2; ++padding) {
            const uint32_t guess = (firstHeader & 0xFFFE0CC0u) | bitrate << 12 | padding << 9;
            const int length = FrameLength(guess, nullptr, nullptr);
            if (length == 0 || length > firstFrame || !file.seek(firstFrame - length))
                continue;
            unsigned char frame[2048];
            if (length > int(sizeof frame) ||
                file.read(reinterpret_cast<char*>(frame), length) != length)
                continue;
            const uint32_t h = uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 |
                               uint32_t(frame[2]) << 8 | frame[3];
            if ((h & FixedBits) != (firstHeader & FixedBits) ||
                FrameLength(h, nullptr, nullptr) != length)
                continue;
            if (ReadInfoTag(frame, length, h, FirstPadding, TagSamples))
                return;
        }
}

bool TMP3FrameIndex::Build(const QString& fileName, int64_t firstFrame) {
    Pos.clear();
    Samples = Rate = 0;
    Complete = false;
    FirstPadding = TagSamples = -1;
    if (firstFrame < 0)
        return false;
    // Opened by the name's own bytes: Qt's encoding of a name that is not UTF-8 names another
    // file, whose frames would then position this one.
    const int fd = ::open(EncodeFileName(fileName).constData(), O_RDONLY | O_CLOEXEC);
    QFile file;
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const int64_t size = file.size();
    if (firstFrame + 4 > size)
        return false;
    // Read in windows rather than mapping the file: every page of a map that the walk touches
    // counts toward the process's memory, which for a long file doubled the peak of a cut, and
    // a map faults with SIGBUS when another program shortens the file. One buffer serves the
    // whole walk: a fresh one per window cost a page fault per page and zeroing on top of the
    // copy. The walk is bound by copying the file out of the page cache; a window that stays
    // in the processor's cache while its headers are read walked a 3-hour file in about two
    // thirds of the time a 1 MiB one took.
    constexpr qint64 Window = 128 << 10;
    std::vector<char> window(static_cast<size_t>(Window));
    int64_t windowStart = 0;
    int64_t windowLength = 0;
    auto readHeader = [&](int64_t at, uint32_t& h) {
        if (at < windowStart || at + 4 > windowStart + windowLength) {
            if (!file.seek(at))
                return false;
            windowLength = file.read(window.data(), Window);
            windowStart = at;
            if (windowLength < 4)
                return false;
        }
        const auto* d = reinterpret_cast<const uchar*>(window.data()) + (at - windowStart);
        h = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | uint32_t(d[3]);
        return true;
    };
    // Version, layer and sample rate bits must stay those of the first frame: a change would
    // make the demuxer's timestamps and frame split differ from a plain sum of frame lengths.
    constexpr uint32_t FixedBits = 0xFFFE0C00u;
    uint32_t first = 0;
    if (!readHeader(firstFrame, first))
        return false;
    const int firstLength = FrameLength(first, &Samples, &Rate);
    if (firstLength == 0)
        return false;
    // A constant bit rate gives about this many frames; reserving saves the vector's regrowth.
    Pos.reserve(size_t((size - firstFrame) / firstLength) + 16);
    int64_t at = firstFrame;
    while (at + 4 <= size) {
        uint32_t h = 0;
        if (!readHeader(at, h))
            break;
        const int length =
            (h & FixedBits) == (first & FixedBits) ? FrameLength(h, nullptr, nullptr) : 0;
        if (length == 0 || at + length > size)
            break;
        Pos.push_back(at);
        at += length;
    }
    Complete = at + 4 > size || size - at <= 128 + 4; // at most an ID3v1 tag after the frames
    if (!Pos.empty())
        FindInfoTag(file, firstFrame, first);
    return !Pos.empty();
}
