// The main-data repacker on any bytes: the input is cut into the layer III frames its headers
// describe, and repacked with as much room kept at the end as its last byte asks. A repack that
// succeeds leaves every frame's main data as it was, every frame but the last its size, and the
// kept bytes at the end of the reservoir; one that fails leaves the frames untouched.
#include "media/mp3/TMP3Header.h"
#include "media/mp3/TMP3Repacker.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    std::vector<TMP3Repacker::TFrame> frames;
    size_t at = 0;
    while (at + 4 <= size - 1 && frames.size() < 64) {
        const TMP3Header h = TMP3Header::FromBytes(data + at);
        const int length = h.Valid() && h.Layer() == 3 ? h.FrameLength() : 0;
        if (length < 4 || at + size_t(length) > size - 1)
            break;
        frames.emplace_back(data + at, data + at + length);
        at += size_t(length);
    }
    if (frames.empty())
        return 0;
    const std::vector<unsigned char> reserve(size_t(data[size - 1]) * 2, 0x5A);
    const std::vector<TMP3Repacker::TFrame> before = frames;
    std::vector<TMP3Repacker::TFrame> was, now;
    const bool readable = TMP3Repacker::MainData(before, was);
    if (!TMP3Repacker::Repack(frames, reserve)) {
        if (frames != before)
            __builtin_trap();
        return 0;
    }
    if (!readable || !TMP3Repacker::MainData(frames, now) || now != was ||
        frames.size() != before.size())
        __builtin_trap();
    std::vector<unsigned char> areas;
    for (size_t i = 0; i < frames.size(); ++i) {
        const TMP3Header h = TMP3Header::FromBytes(frames[i].data());
        if (int(frames[i].size()) != h.FrameLength() ||
            (i + 1 < frames.size() && frames[i].size() != before[i].size()))
            __builtin_trap();
        areas.insert(areas.end(), frames[i].begin() + h.MainDataOffset(), frames[i].end());
    }
    if (areas.size() < reserve.size() ||
        !std::equal(reserve.begin(), reserve.end(), areas.end() - reserve.size()))
        __builtin_trap();
    return 0;
}
