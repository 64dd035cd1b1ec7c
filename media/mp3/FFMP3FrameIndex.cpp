#include "media/mp3/FFMP3FrameIndex.h"

#include "media/FileNameBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

// The file being indexed, read in windows rather than mapped: every page of a map that the walk
// touches counts toward the process's memory, which for a long file doubled the peak of a cut,
// and a map faults with SIGBUS when another program shortens the file. One buffer serves the
// whole walk: a fresh one per window cost a page fault per page and zeroing on top of the copy.
// The walk is bound by copying the file out of the page cache; a window that stays in the
// processor's cache while its headers are read walked a 3-hour file in about two thirds of the
// time a 1 MiB one took.
class TMP3FrameIndex::TReader {
public:
    explicit TReader(const QString& fileName)
        // Opened by the name's own bytes: Qt's encoding of a name that is not UTF-8 names
        // another file, whose frames would then position this one.
        : Fd(::open(EncodeFileName(fileName).constData(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (Fd >= 0 && ::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode))
            Size = st.st_size;
    }
    ~TReader() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TReader(const TReader&) = delete;
    TReader& operator=(const TReader&) = delete;

    // Length of the file; -1 when it could not be opened or is not a regular file.
    int64_t FileSize() const { return Size; }

    // The four bytes at at, big-endian.
    bool Header(int64_t at, uint32_t& h) {
        if (at < WindowStart || at + 4 > WindowStart + WindowLength) {
            WindowLength = std::max<int64_t>(Read(at, Window.data(), WindowSize), 0);
            WindowStart = at;
            if (WindowLength < 4)
                return false;
        }
        const unsigned char* d = Window.data() + (at - WindowStart);
        h = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | uint32_t(d[3]);
        return true;
    }

    // Up to n bytes at at into to; how many were read, -1 on an error.
    int64_t Read(int64_t at, unsigned char* to, int64_t n) const {
        int64_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(Fd, to + done, size_t(n - done), off_t(at + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return done > 0 ? done : -1;
            if (got == 0)
                break;
            done += got;
        }
        return done;
    }

private:
    static constexpr int64_t WindowSize = 128 << 10;
    int Fd;
    int64_t Size = -1;
    std::vector<unsigned char> Window = std::vector<unsigned char>(size_t(WindowSize));
    int64_t WindowStart = 0;
    int64_t WindowLength = 0;
};

namespace {

// Version, layer and sample rate bits must stay those of the first frame: a change would make the
// demuxer's timestamps and frame split differ from a plain sum of frame lengths.
constexpr uint32_t FixedBits = 0xFFFE0C00u;

// At most an ID3v1 tag (and a stray header's worth) may follow the last frame for the walk to
// count as having reached the end.
bool AtEnd(int64_t at, int64_t size) { return at + 4 > size || size - at <= 128 + 4; }

// Frames a sync must chain through before its frames are taken as the file's own: a chance
// frame sync inside the audio data rarely leads to a second one, let alone to a run.
constexpr int ConfirmFrames = 4;

} // namespace

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
                                 int64_t& paddingStart, int64_t& taggedSamples,
                                 int64_t* taggedBytes) {
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
    int64_t bytes = -1;
    if (flags & 2) {
        if (at + 4 > size)
            return false;
        bytes = u32(at);
        at += 4;
    }
    at += (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
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
    if (taggedBytes)
        *taggedBytes = bytes > 0 ? bytes : -1;
    return true;
}

int64_t TMP3FrameIndex::AudioEndSample() const {
    const int64_t end = FrameCount() * Samples;
    // The demuxer marks padding only on frames the tag counts; frames past them play whole.
    if (FirstPadding < 0 || end > TagSamples)
        return end;
    return std::min(end, FirstPadding);
}

void TMP3FrameIndex::FindInfoTag(TReader& file, int64_t firstFrame, uint32_t firstHeader) {
    // The tag's frame has the first frame's version and rate but any bit rate (a VBR file's tag
    // frame is the smallest that holds it): try each length that could end at firstFrame.
    for (uint32_t bitrate = 1; bitrate < 15; ++bitrate)
        for (uint32_t padding = 0; padding < 2; ++padding) {
            const uint32_t guess = (firstHeader & 0xFFFE0CC0u) | bitrate << 12 | padding << 9;
            const int length = FrameLength(guess, nullptr, nullptr);
            unsigned char frame[2048];
            if (length == 0 || length > firstFrame || length > int(sizeof frame) ||
                file.Read(firstFrame - length, frame, length) != length)
                continue;
            const uint32_t h = uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 |
                               uint32_t(frame[2]) << 8 | frame[3];
            if ((h & FixedBits) != (firstHeader & FixedBits) ||
                FrameLength(h, nullptr, nullptr) != length)
                continue;
            int64_t bytes = -1;
            if (ReadInfoTag(frame, length, h, FirstPadding, TagSamples, &bytes)) {
                TagEnd = bytes > 0 ? firstFrame - length + bytes : -1;
                return;
            }
        }
}

int64_t TMP3FrameIndex::Walk(TReader& file, int64_t at, uint32_t first,
                             std::vector<int64_t>& out) const {
    const int64_t size = file.FileSize();
    while (at + 4 <= size) {
        uint32_t h = 0;
        if (!file.Header(at, h))
            break;
        const int length =
            (h & FixedBits) == (first & FixedBits) ? FrameLength(h, nullptr, nullptr) : 0;
        if (length == 0 || at + length > size)
            break;
        out.push_back(at);
        at += length;
    }
    return at;
}

bool TMP3FrameIndex::BuildFromEnd(TReader& file, int64_t firstFrame, uint32_t first,
                                  int64_t wantedFrame) {
    const int64_t size = file.FileSize();
    const int64_t tagFrames = Samples > 0 ? TagSamples / Samples : -1;
    if (TagEnd <= firstFrame || TagEnd > size || !AtEnd(TagEnd, size) || tagFrames <= 0)
        return false;
    wantedFrame = std::min(wantedFrame, tagFrames - 1);
    // The smallest and largest frames this stream can have, to tell whether a count fits a size.
    const uint32_t shape = first & 0xFFFE0CC0u;
    const int smallest = FrameLength(shape | 1u << 12, nullptr, nullptr);
    const int largest = FrameLength(shape | 14u << 12 | 1u << 9, nullptr, nullptr);
    // Start a little further back than the average frame size says, and further on each retry:
    // a variable bit rate may spend more on the end than on the average.
    const double average = double(TagEnd - firstFrame) / double(tagFrames);
    // Walking more than half the file buys little over walking all of it, which needs no trust
    // in the tag.
    const int64_t furthest = (TagEnd - firstFrame) / 2;
    int64_t back =
        int64_t(double(tagFrames - wantedFrame + ConfirmFrames + 8) * average * 1.25) + 4096;
    std::vector<int64_t> run;
    for (;;) {
        if (back > furthest)
            return false;
        const int64_t jump = TagEnd - back;
        // The first header like the first frame's that starts a run of them.
        int64_t sync = -1;
        for (int64_t at = jump; at < jump + 2 * largest && sync < 0; ++at) {
            run.clear();
            const int64_t end = Walk(file, at, first, run);
            if (int64_t(run.size()) > ConfirmFrames && end == TagEnd && AtEnd(end, size))
                sync = at;
            else if (int64_t(run.size()) > ConfirmFrames)
                return false; // a real run that ends elsewhere than the tag says
        }
        if (sync < 0)
            return false;
        // The frames a chance sync may have led through before joining the real ones.
        run.erase(run.begin(), run.begin() + ConfirmFrames);
        const int64_t base = tagFrames - int64_t(run.size());
        const int64_t before = run.front() - firstFrame;
        if (base < 0 || before < base * smallest || before > base * largest)
            return false;
        if (base <= wantedFrame) {
            Pos = std::move(run);
            Base = base;
            Complete = true;
            return true;
        }
        back = back < furthest ? std::min(back * 2, furthest) : furthest + 1;
    }
}

bool TMP3FrameIndex::Build(const QString& fileName, int64_t firstFrame, int64_t wantedFrame) {
    Pos.clear();
    Base = 0;
    Samples = Rate = 0;
    Complete = false;
    FirstPadding = TagSamples = TagEnd = -1;
    if (firstFrame < 0)
        return false;
    TReader file(fileName);
    const int64_t size = file.FileSize();
    if (size < 0 || firstFrame + 4 > size)
        return false;
    uint32_t first = 0;
    if (!file.Header(firstFrame, first))
        return false;
    const int firstLength = FrameLength(first, &Samples, &Rate);
    if (firstLength == 0)
        return false;
    FindInfoTag(file, firstFrame, first);
    if (wantedFrame > 0 && BuildFromEnd(file, firstFrame, first, wantedFrame))
        return true;
    // A constant bit rate gives about this many frames; reserving saves the vector's regrowth.
    Pos.clear();
    Pos.reserve(size_t((size - firstFrame) / firstLength) + 16);
    Complete = AtEnd(Walk(file, firstFrame, first, Pos), size);
    if (Pos.empty()) {
        FirstPadding = TagSamples = TagEnd = -1;
        return false;
    }
    return true;
}
