#pragma once
// Lays out the main data of a run of layer III frames anew, leaving the last bytes of the bit
// reservoir free for bytes the caller chooses: what a splice needs when copied frames follow
// re-encoded ones, since the first copied frame's main_data_begin points back into the frames
// before it, and those bytes must be the source's.
//
// Each frame keeps its header (bar a higher bit rate for the last one, see below), its side
// information but for main_data_begin, and its granules' bits; only where its main data sits in
// the reservoir changes. Every frame's data is placed as early as the reservoir allows, which
// leaves the most room at the end; when that is still less than asked, the last frame is given
// the next higher bit rate that makes room (the stream then has frames of more than one bit rate).
// The decoded audio is the same, sample for sample.
//
// Owns nothing but its result; a value type. Threads: any.

#include <vector>

class TMP3Repacker {
public:
    using TFrame = std::vector<unsigned char>;

    // Repacks frames (whole frames, header first, of one stream; the first one's data must not
    // reach before it) so that the last reserve.size() bytes of the last frame's main data area
    // are unused by any frame, and fills them with reserve. False (frames untouched) when a frame
    // is not layer III, does not hold the data its side information promises, or no bit rate
    // makes room enough.
    static bool Repack(std::vector<TFrame>& frames, const std::vector<unsigned char>& reserve);

    // Each frame's main data, as the decoder gathers it from the reservoir: for tests and for
    // checking a repack. False when a frame's data lies outside the bytes before its end.
    static bool MainData(const std::vector<TFrame>& frames, std::vector<TFrame>& data);
};
