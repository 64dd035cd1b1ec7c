#pragma once
// The layer III side information of one frame: where its main data begins in the bit reservoir
// (main_data_begin, bytes back from the end of the side information) and, per granule and
// channel, how many bits of main data it spends (part2_3_length) with the fields the decoder
// reads around them. The smart cut reads it to know which bytes before a frame the frame still
// needs, and writes it back when it has to move where a frame's main data begins.
//
// Parsing reads exactly SideInfoSize() bytes and accepts any bit pattern (every field is a plain
// number); writing gives back the same bytes for what was parsed. Owns nothing; a value type.

#include "media/mp3/TMP3Header.h"

#include <cstdint>

class TMP3SideInfo {
public:
    struct TGranule {
        uint16_t Part23Length = 0; // bits of scale factors and Huffman data
        uint16_t BigValues = 0;
        uint8_t GlobalGain = 0;
        uint16_t ScalefacCompress = 0; // 4 bits in MPEG-1, 9 in MPEG-2
        bool WindowSwitching = false;
        uint8_t BlockType = 0, MixedBlock = 0;
        uint8_t TableSelect[3] = {0, 0, 0};
        uint8_t SubblockGain[3] = {0, 0, 0};
        uint8_t Region0Count = 0, Region1Count = 0;
        uint8_t Preflag = 0; // MPEG-1 only
        uint8_t ScalefacScale = 0, Count1Table = 0;
    };

    // Reads the side information at d, which must hold h.SideInfoSize() bytes (the bytes after
    // the header and its CRC). False when h is not a valid layer III header.
    bool Parse(TMP3Header h, const unsigned char* d);
    // Writes it back into h.SideInfoSize() bytes at d, for the header it was parsed with.
    void Write(unsigned char* d) const;

    int MainDataBegin = 0; // bytes before this frame's side information end where its data starts
    int PrivateBits = 0;
    uint8_t Scfsi[2] = {0, 0}; // MPEG-1: 4 bits per channel
    TGranule Gr[2][2];         // [granule][channel]

    int Granules() const { return FMpeg1 ? 2 : 1; }
    int Channels() const { return FChannels; }
    // Bytes of main data the frame's granules take, rounded up to whole bytes.
    int MainDataBytes() const;
    // Largest main_data_begin the version can hold: 511 for MPEG-1, 255 for MPEG-2 and 2.5.
    int MaxMainDataBegin() const { return FMpeg1 ? 511 : 255; }

private:
    bool FMpeg1 = true;
    int FChannels = 2;
};
