#pragma once
// One MPEG audio frame header (the four bytes that open every frame), decoded into its fields and
// built back. The smart cut reads every frame it copies through this class and makes the headers
// of the frames it writes itself (the Info tag's frame, the reservoir carrier) from a copied
// frame's, so the stream keeps one version, rate and channel mode.
//
// Owns nothing; a value type. Threads: any.

#include <cstdint>

class TMP3Header {
public:
    TMP3Header() = default;
    explicit TMP3Header(uint32_t bits) : Bits(bits) {}
    static TMP3Header FromBytes(const unsigned char* d) {
        return TMP3Header(uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3]);
    }
    void ToBytes(unsigned char* d) const;

    uint32_t Value() const { return Bits; }
    // A header of layer I, II or III with a known rate; the bit rate may be free (index 0).
    bool Valid() const;
    int Layer() const { return 4 - int(Bits >> 17 & 3); } // 1, 2 or 3
    bool Mpeg1() const { return (Bits >> 19 & 3) == 3; }
    bool Protected() const { return (Bits >> 16 & 1) == 0; } // a CRC follows the header
    int BitrateIndex() const { return int(Bits >> 12 & 15); }
    bool FreeFormat() const { return BitrateIndex() == 0; }
    bool Padded() const { return (Bits >> 9 & 1) != 0; }
    bool Mono() const { return (Bits >> 6 & 3) == 3; }
    int Channels() const { return Mono() ? 1 : 2; }
    int Kbps() const;       // 0 for free format
    int SampleRate() const; // Hz
    int SamplesPerFrame() const;
    int Granules() const { return Layer() == 3 && !Mpeg1() ? 1 : 2; }
    // Bytes of the whole frame, header included; 0 for free format or an invalid header.
    int FrameLength() const;
    // Bytes of the layer III side information after the header (and its CRC).
    int SideInfoSize() const;
    // Where the layer III main data begins in the frame: header, CRC, side information.
    int MainDataOffset() const { return 4 + (Protected() ? 2 : 0) + SideInfoSize(); }

    // The same stream shape (version, layer, rate, channel mode) with another bit rate index,
    // no CRC and no padding: the header of a frame this program writes itself.
    TMP3Header WithBitrate(int bitrateIndex) const;
    // Whether b has this header's version, layer, rate and channel mode.
    bool SameShape(TMP3Header b) const { return (Bits & 0xFFFE0CC0u) == (b.Bits & 0xFFFE0CC0u); }
    // Whether b has this header's version, layer and rate: a frame of the same stream, whose
    // channel mode may differ (an encoder's tag frame often says stereo before joint stereo).
    bool SameStream(TMP3Header b) const { return (Bits & 0xFFFE0C00u) == (b.Bits & 0xFFFE0C00u); }

private:
    uint32_t Bits = 0;
};
