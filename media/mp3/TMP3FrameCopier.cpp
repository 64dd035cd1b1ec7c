#include "media/mp3/TMP3FrameCopier.h"

#include "media/FileNameBytes.h"
#include "media/mp3/TMP3InfoTag.h"
#include "media/mp3/TMP3SideInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The decoder's own delay: every layer III decoder's output lags its input by this much, and the
// LAME tag's delay leaves it out.
constexpr int DecoderDelay = 529;

// How far past the ID3v2 tag the first frame is looked for (some writers pad the tag).
constexpr int64_t SyncSearch = 64 << 10;

bool WriteAll(int fd, const unsigned char* d, int64_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, d, size_t(std::min<int64_t>(n, 1 << 30)));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        d += put;
        n -= put;
    }
    return true;
}

} // namespace

TMP3FrameCopier::~TMP3FrameCopier() {
    if (FFd >= 0)
        ::close(FFd);
}

bool TMP3FrameCopier::ReadAt(int64_t at, unsigned char* to, int64_t n) const {
    while (n > 0) {
        const ssize_t got = ::pread(FFd, to, size_t(n), off_t(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        to += got;
        at += got;
        n -= got;
    }
    return true;
}

int64_t TMP3FrameCopier::FrameEnd(int64_t frame) const {
    const std::vector<int64_t>& pos = FIndex.Positions();
    if (frame + 1 < int64_t(pos.size()))
        return pos[size_t(frame + 1)];
    unsigned char h[4];
    if (!ReadAt(pos[size_t(frame)], h, 4))
        return pos[size_t(frame)];
    return pos[size_t(frame)] + TMP3Header::FromBytes(h).FrameLength();
}

bool TMP3FrameCopier::Open(const QString& fileName, QString& why) {
    if (FFd >= 0)
        ::close(FFd);
    FFd = ::open(EncodeFileName(fileName).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (FFd < 0 || ::fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = QStringLiteral("the source cannot be read: %1")
                  .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EINVAL)));
        return false;
    }
    FFileSize = st.st_size;

    // ID3v2: "ID3", version, flags, a 28-bit size that leaves out the 10-byte header (and the
    // footer, flag 0x10).
    FId3v2.clear();
    int64_t at = 0;
    unsigned char id3[10];
    if (FFileSize >= 10 && ReadAt(0, id3, 10) && std::memcmp(id3, "ID3", 3) == 0 &&
        !((id3[6] | id3[7] | id3[8] | id3[9]) & 0x80)) {
        at = 10 + (int64_t(id3[6]) << 21 | int64_t(id3[7]) << 14 | int64_t(id3[8]) << 7 | id3[9]) +
             (id3[5] & 0x10 ? 10 : 0);
        if (at > FFileSize)
            at = FFileSize;
        FId3v2.resize(size_t(at));
        if (!ReadAt(0, FId3v2.data(), at))
            FId3v2.clear();
    }

    // The first frame: a header whose successor is a header of the same shape.
    int64_t first = -1;
    for (int64_t p = at; p + 4 <= FFileSize && p < at + SyncSearch && first < 0; ++p) {
        unsigned char b[4];
        if (!ReadAt(p, b, 4))
            break;
        const TMP3Header h = TMP3Header::FromBytes(b);
        if (!h.Valid())
            continue;
        if (h.FreeFormat()) {
            why = QStringLiteral("the source has a free-format bit rate");
            return false;
        }
        unsigned char n[4];
        if (p + h.FrameLength() + 4 <= FFileSize && ReadAt(p + h.FrameLength(), n, 4) &&
            TMP3Header::FromBytes(n).Valid() && TMP3Header::FromBytes(n).SameStream(h))
            first = p;
        else if (p + h.FrameLength() == FFileSize)
            first = p; // a file of one frame
    }
    if (first < 0) {
        why = QStringLiteral("no MPEG audio frames were found in the source");
        return false;
    }
    unsigned char b[4];
    ReadAt(first, b, 4);
    FHeader = TMP3Header::FromBytes(b);
    if (FHeader.Layer() != 3) {
        why = QStringLiteral("the source is not MPEG audio layer III");
        return false;
    }

    // A Xing/Info or VBRI frame is no audio: decoders skip it, and take the delay from a LAME tag.
    std::vector<unsigned char> frame(size_t(FHeader.FrameLength()));
    int64_t firstAudio = first;
    FSkip = 0;
    if (ReadAt(first, frame.data(), int64_t(frame.size()))) {
        const TMP3InfoTag::TRead tag = TMP3InfoTag::Read(frame.data(), int(frame.size()));
        if (tag.Found || TMP3InfoTag::IsVbri(frame.data(), int(frame.size())))
            firstAudio = first + int64_t(frame.size());
        if (tag.Gapless)
            FSkip = tag.Delay + DecoderDelay;
    }
    if (!FIndex.Build(fileName, firstAudio)) {
        why = QStringLiteral("the source's frames change their format or cannot be read");
        return false;
    }
    ReadAt(firstAudio, b, 4);
    FHeader = TMP3Header::FromBytes(b);
    FEndRaw = FIndex.AudioEndSample();
    if (FEndRaw <= FSkip) {
        why = QStringLiteral("the source holds no audio frames");
        return false;
    }

    FId3v1.clear();
    const int64_t audioEnd = FrameEnd(FIndex.FrameCount() - 1);
    if (FFileSize - audioEnd >= 128) {
        FId3v1.resize(128);
        if (!ReadAt(FFileSize - 128, FId3v1.data(), 128) ||
            std::memcmp(FId3v1.data(), "TAG", 3) != 0)
            FId3v1.clear();
    }
    return true;
}

bool TMP3FrameCopier::Plan(int64_t startSample, int64_t endSample, TPlan& plan,
                           QString& error) const {
    if (FFd < 0 || startSample < 0 || startSample >= endSample || endSample > DecodedSamples()) {
        error = QStringLiteral("The range is not inside the source's audio.");
        return false;
    }
    const int spf = FHeader.SamplesPerFrame();
    const int64_t startRaw = FSkip + startSample, endRaw = FSkip + endSample;
    // Granules the decoder needs before the first one it must get right.
    const int preroll = FHeader.Granules() == 2 ? 1 : 2;
    const int64_t k = startRaw / spf;
    plan.FirstFrame = std::max<int64_t>(0, k - preroll);
    plan.LastFrame = (endRaw + spf - 1) / spf - 1;
    plan.Carrier.clear();

    const std::vector<int64_t>& pos = FIndex.Positions();
    unsigned char head[4 + 2 + 32];
    const int64_t s = plan.FirstFrame;
    if (!ReadAt(pos[size_t(s)], head, 4)) {
        error = QStringLiteral("The source cannot be read.");
        return false;
    }
    const TMP3Header sh = TMP3Header::FromBytes(head);
    TMP3SideInfo side;
    if (!ReadAt(pos[size_t(s)] + 4 + (sh.Protected() ? 2 : 0), head + 4, sh.SideInfoSize()) ||
        !side.Parse(sh, head + 4)) {
        error = QStringLiteral("The source cannot be read.");
        return false;
    }
    const int reach = s > 0 ? side.MainDataBegin : 0;
    if (reach > 0 || startRaw - s * spf - DecoderDelay < 0) {
        // The main data of the frames before s, last bytes first, as far back as s reaches.
        std::vector<unsigned char> tail(size_t(reach) + 1, 0); // + 1: never an empty buffer
        int64_t need = reach;
        std::vector<unsigned char> f;
        for (int64_t j = s - 1; j >= 0 && need > 0; --j) {
            f.resize(size_t(FrameEnd(j) - pos[size_t(j)]));
            if (f.size() < 4 || !ReadAt(pos[size_t(j)], f.data(), int64_t(f.size()))) {
                error = QStringLiteral("The source cannot be read.");
                return false;
            }
            const int offset = TMP3Header::FromBytes(f.data()).MainDataOffset();
            const int64_t have = std::max<int64_t>(0, int64_t(f.size()) - offset);
            const int64_t take = std::min(have, need);
            std::memcpy(tail.data() + 1 + (need - take), f.data() + f.size() - take, size_t(take));
            need -= take;
        }
        // The smallest frame of s's shape with room for them; s's own bit rate when it has.
        TMP3Header ch = sh.WithBitrate(sh.BitrateIndex());
        if (ch.FrameLength() - ch.MainDataOffset() < reach)
            for (int index = 1; index < 15; ++index) {
                ch = sh.WithBitrate(index);
                if (ch.FrameLength() - ch.MainDataOffset() >= reach)
                    break;
            }
        plan.Carrier.assign(size_t(ch.FrameLength()), 0);
        ch.ToBytes(plan.Carrier.data());
        std::memcpy(plan.Carrier.data() + plan.Carrier.size() - reach, tail.data() + 1,
                    size_t(reach));
    }
    const int64_t outBase = s - (plan.Carrier.empty() ? 0 : 1);
    plan.Delay = int(startRaw - outBase * spf - DecoderDelay);
    plan.Padding = int((plan.LastFrame + 1) * spf - endRaw + DecoderDelay);
    if (plan.Delay < 0 || plan.Delay > 4095 || plan.Padding > 4095 ||
        plan.LastFrame >= FIndex.FrameCount()) {
        error = QStringLiteral("The range cannot be copied exactly.");
        return false;
    }
    return true;
}

bool TMP3FrameCopier::Write(int fd, int64_t startSample, int64_t endSample, bool keepTags,
                            QString& error) const {
    TPlan plan;
    if (!Plan(startSample, endSample, plan, error))
        return false;
    std::vector<TFrame> head;
    if (!plan.Carrier.empty())
        head.push_back(plan.Carrier);
    return WriteSpliced(fd, head, plan.FirstFrame, plan.LastFrame, {}, plan.Delay, plan.Padding,
                        keepTags, error);
}

TMP3Header TMP3FrameCopier::HeaderOf(int64_t frame) const {
    unsigned char b[4];
    if (FFd < 0 || frame < 0 || frame >= FIndex.FrameCount() ||
        !ReadAt(FIndex.Positions()[size_t(frame)], b, 4))
        return TMP3Header();
    return TMP3Header::FromBytes(b);
}

bool TMP3FrameCopier::ReadFrames(int64_t first, int64_t last, std::vector<TFrame>& frames) const {
    frames.clear();
    first = std::max<int64_t>(first, 0);
    last = std::min(last, FIndex.FrameCount() - 1);
    const std::vector<int64_t>& pos = FIndex.Positions();
    for (int64_t j = first; j <= last; ++j) {
        TFrame f(size_t(FrameEnd(j) - pos[size_t(j)]));
        if (f.size() < 4 || !ReadAt(pos[size_t(j)], f.data(), int64_t(f.size())))
            return false;
        frames.push_back(std::move(f));
    }
    return true;
}

bool TMP3FrameCopier::ReservoirBefore(int64_t frame, std::vector<unsigned char>& bytes) const {
    bytes.clear();
    const TMP3Header h = HeaderOf(frame);
    if (!h.Valid())
        return false;
    unsigned char side[32];
    TMP3SideInfo info;
    if (!ReadAt(FIndex.Positions()[size_t(frame)] + 4 + (h.Protected() ? 2 : 0), side,
                h.SideInfoSize()) ||
        !info.Parse(h, side))
        return false;
    int64_t need = frame > 0 ? info.MainDataBegin : 0;
    bytes.assign(size_t(need), 0);
    std::vector<TFrame> one;
    for (int64_t j = frame - 1; j >= 0 && need > 0; --j) {
        if (!ReadFrames(j, j, one) || one.empty())
            return false;
        const TFrame& f = one.front();
        const int offset = TMP3Header::FromBytes(f.data()).MainDataOffset();
        const int64_t have = std::max<int64_t>(0, int64_t(f.size()) - offset);
        const int64_t take = std::min(have, need);
        std::memcpy(bytes.data() + (need - take), f.data() + f.size() - take, size_t(take));
        need -= take;
    }
    return true;
}

bool TMP3FrameCopier::WriteSpliced(int fd, const std::vector<TFrame>& head, int64_t first,
                                   int64_t last, const std::vector<TFrame>& tail, int delay,
                                   int padding, bool keepTags, QString& error) const {
    const auto writeFailed = [&error] {
        error = QStringLiteral("Failed to write the output: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EIO)));
        return false;
    };
    const std::vector<int64_t>& pos = FIndex.Positions();
    // first > last: nothing is copied (then head holds the audio).
    if (first < 0 || last < first - 1 || last >= FIndex.FrameCount() ||
        (last < first && head.empty())) {
        error = QStringLiteral("The range cannot be copied exactly.");
        return false;
    }
    unsigned char b[4];
    if (last < first)
        std::memcpy(b, head.front().data(), 4);
    else if (!ReadAt(pos[size_t(first)], b, 4)) {
        error = QStringLiteral("The source cannot be read.");
        return false;
    }
    const TMP3Header shape = TMP3Header::FromBytes(b);

    TMP3InfoTag tag;
    if (keepTags && !FId3v2.empty() && !WriteAll(fd, FId3v2.data(), int64_t(FId3v2.size())))
        return writeFailed();
    const int64_t tagAt = keepTags ? int64_t(FId3v2.size()) : 0;
    // A placeholder of the tag frame's size; the tag is known once the audio has been copied.
    const std::vector<unsigned char> placeholder = tag.Build(shape);
    if (!WriteAll(fd, placeholder.data(), int64_t(placeholder.size())))
        return writeFailed();

    uint16_t crc = 0;
    int bitrate = -1;
    int64_t bits = 0; // kbps × frames, for the tag's nominal bit rate
    const auto account = [&](const unsigned char* frame, int length) {
        const TMP3Header h = TMP3Header::FromBytes(frame);
        tag.FrameBytes.push_back(length);
        if (bitrate >= 0 && h.BitrateIndex() != bitrate)
            tag.Vbr = true;
        bitrate = h.BitrateIndex();
        bits += h.Kbps();
    };
    const auto put = [&](const std::vector<TFrame>& frames) {
        for (const TFrame& f : frames) {
            account(f.data(), int(f.size()));
            crc = LameCrc16(f.data(), int64_t(f.size()), crc);
            if (!WriteAll(fd, f.data(), int64_t(f.size())))
                return false;
        }
        return true;
    };
    if (!put(head))
        return writeFailed();
    // The frames are copied in large runs; their boundaries come from the index.
    constexpr int64_t Chunk = 1 << 20;
    std::vector<unsigned char> buffer;
    int64_t frame = first;
    while (frame <= last) {
        const int64_t from = pos[size_t(frame)];
        int64_t runEnd = frame;
        while (runEnd < last && FrameEnd(runEnd + 1) - from <= Chunk)
            ++runEnd;
        const int64_t to = FrameEnd(runEnd);
        buffer.resize(size_t(to - from));
        if (!ReadAt(from, buffer.data(), to - from)) {
            error = QStringLiteral("The source cannot be read (it may have been shortened).");
            return false;
        }
        for (int64_t f = frame; f <= runEnd; ++f)
            account(buffer.data() + (pos[size_t(f)] - from), int(FrameEnd(f) - pos[size_t(f)]));
        crc = LameCrc16(buffer.data(), to - from, crc);
        if (!WriteAll(fd, buffer.data(), to - from))
            return writeFailed();
        frame = runEnd + 1;
    }
    if (!put(tail))
        return writeFailed();
    if (keepTags && !FId3v1.empty() && !WriteAll(fd, FId3v1.data(), 128))
        return writeFailed();

    tag.Delay = delay;
    tag.Padding = padding;
    tag.MusicCrc = crc;
    tag.Kbps = tag.FrameBytes.empty() ? 0 : int(bits / int64_t(tag.FrameBytes.size()));
    const std::vector<unsigned char> info = tag.Build(shape);
    for (size_t done = 0; done < info.size();) {
        const ssize_t wrote =
            ::pwrite(fd, info.data() + done, info.size() - done, off_t(tagAt + int64_t(done)));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return writeFailed();
        done += size_t(wrote);
    }
    return true;
}
