#include "media/mp3/TMP3Repacker.h"

#include "media/mp3/TMP3Header.h"
#include "media/mp3/TMP3SideInfo.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

struct TParsed {
    TMP3Header Header;
    TMP3SideInfo Side;
    int AreaStart = 0; // where the frame's main data area begins in the stream of areas
    int AreaEnd = 0;
};

// The frames' headers and side information, and where their areas lie in the stream that the
// reservoir is made of (the main data areas one after another).
bool ParseAll(const std::vector<TMP3Repacker::TFrame>& frames, std::vector<TParsed>& parsed) {
    parsed.clear();
    int at = 0;
    for (const TMP3Repacker::TFrame& f : frames) {
        TParsed p;
        if (f.size() < 4)
            return false;
        p.Header = TMP3Header::FromBytes(f.data());
        if (!p.Header.Valid() || p.Header.Layer() != 3 || p.Header.FrameLength() != int(f.size()) ||
            p.Header.MainDataOffset() > int(f.size()) ||
            !p.Side.Parse(p.Header, f.data() + 4 + (p.Header.Protected() ? 2 : 0)))
            return false;
        p.AreaStart = at;
        at += int(f.size()) - p.Header.MainDataOffset();
        p.AreaEnd = at;
        parsed.push_back(p);
    }
    return true;
}

// The CRC-16 of a protected frame: polynomial 0x8005, start 0xFFFF, over the header's last two
// bytes and the side information.
uint16_t FrameCrc(const unsigned char* f, int sideInfo) {
    uint16_t crc = 0xFFFF;
    auto feed = [&crc](unsigned char byte) {
        for (int i = 7; i >= 0; --i) {
            const bool top = ((crc >> 15) ^ (byte >> i)) & 1;
            crc = uint16_t(crc << 1);
            if (top)
                crc ^= 0x8005;
        }
    };
    feed(f[2]);
    feed(f[3]);
    for (int i = 0; i < sideInfo; ++i)
        feed(f[6 + i]);
    return crc;
}

} // namespace

bool TMP3Repacker::MainData(const std::vector<TFrame>& frames, std::vector<TFrame>& data) {
    std::vector<TParsed> parsed;
    if (!ParseAll(frames, parsed))
        return false;
    std::vector<unsigned char> stream;
    data.clear();
    for (size_t i = 0; i < frames.size(); ++i) {
        const TParsed& p = parsed[i];
        stream.insert(stream.end(), frames[i].begin() + p.Header.MainDataOffset(), frames[i].end());
        const int begin = p.AreaStart - p.Side.MainDataBegin;
        const int bytes = p.Side.MainDataBytes();
        if (begin < 0 || begin + bytes > p.AreaEnd)
            return false;
        data.emplace_back(stream.begin() + begin, stream.begin() + begin + bytes);
    }
    return true;
}

bool TMP3Repacker::Repack(std::vector<TFrame>& frames, const std::vector<unsigned char>& reserve) {
    std::vector<TFrame> data;
    std::vector<TParsed> parsed;
    if (frames.empty() || !MainData(frames, data) || !ParseAll(frames, parsed))
        return false;
    const int need = int(reserve.size());

    // The earliest place for each frame's data: after the one before, and no further back than
    // its main_data_begin can say.
    std::vector<int> start(frames.size());
    int end = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        start[i] = std::max(end, parsed[i].AreaStart - parsed[i].Side.MaxMainDataBegin());
        end = start[i] + int(data[i].size());
        if (end > parsed[i].AreaEnd)
            return false;
    }
    // Room at the end: the last frame's bit rate grows until there is enough.
    TParsed& last = parsed.back();
    TMP3Header lastHeader = last.Header;
    if (last.AreaEnd - end < need) {
        const TMP3Header shape = last.Header;
        bool found = false;
        for (int index = shape.BitrateIndex() + 1; index < 15 && !found; ++index) {
            // Keep the CRC bit as it was: the side information stays where it is.
            const uint32_t bits = (shape.Value() & ~0xF000u & ~0x200u) | uint32_t(index) << 12;
            const TMP3Header h(bits);
            const int areaEnd = last.AreaStart + h.FrameLength() - h.MainDataOffset();
            if (h.FrameLength() > 0 && areaEnd - end >= need) {
                lastHeader = h;
                last.AreaEnd = areaEnd;
                found = true;
            }
        }
        if (!found)
            return false;
    }

    std::vector<unsigned char> stream(size_t(last.AreaEnd), 0);
    for (size_t i = 0; i < frames.size(); ++i)
        std::copy(data[i].begin(), data[i].end(), stream.begin() + start[i]);
    std::copy(reserve.begin(), reserve.end(), stream.end() - need);

    std::vector<TFrame> out(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const TMP3Header h = i + 1 == frames.size() ? lastHeader : parsed[i].Header;
        TFrame& f = out[i];
        f.assign(size_t(h.FrameLength()), 0);
        h.ToBytes(f.data());
        TMP3SideInfo side = parsed[i].Side;
        side.MainDataBegin = parsed[i].AreaStart - start[i];
        side.Write(f.data() + 4 + (h.Protected() ? 2 : 0));
        std::copy(stream.begin() + parsed[i].AreaStart, stream.begin() + parsed[i].AreaEnd,
                  f.begin() + h.MainDataOffset());
        if (h.Protected()) {
            const uint16_t crc = FrameCrc(f.data(), h.SideInfoSize());
            f[4] = uint8_t(crc >> 8);
            f[5] = uint8_t(crc);
        }
    }
    frames = std::move(out);
    return true;
}
