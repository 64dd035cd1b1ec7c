#include "media/mp3/TMP3SideInfo.h"

#include <type_traits>

namespace {

class TBitReader {
public:
    explicit TBitReader(const unsigned char* d) : D(d) {}
    unsigned Get(int n) {
        unsigned v = 0;
        for (int i = 0; i < n; ++i, ++Pos)
            v = v << 1 | (D[Pos >> 3] >> (7 - (Pos & 7)) & 1u);
        return v;
    }

private:
    const unsigned char* D;
    int Pos = 0; // bits
};

class TBitWriter {
public:
    explicit TBitWriter(unsigned char* d) : D(d) {}
    void Put(unsigned v, int n) {
        for (int i = n - 1; i >= 0; --i, ++Pos) {
            const unsigned char bit = uint8_t(0x80u >> (Pos & 7));
            if (v >> i & 1u)
                D[Pos >> 3] |= bit;
            else
                D[Pos >> 3] &= uint8_t(~bit);
        }
    }

private:
    unsigned char* D;
    int Pos = 0; // bits
};

// Both directions walk the same field list, so what Parse read, Write gives back bit for bit.
template <typename TField>
void Fields(bool mpeg1, int channels, int& mainDataBegin, int& privateBits, uint8_t* scfsi,
            TMP3SideInfo::TGranule (&gr)[2][2], TField&& field) {
    field(mainDataBegin, mpeg1 ? 9 : 8);
    field(privateBits, mpeg1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));
    if (mpeg1)
        for (int ch = 0; ch < channels; ++ch) {
            int v = scfsi[ch];
            field(v, 4);
            scfsi[ch] = uint8_t(v);
        }
    for (int g = 0; g < (mpeg1 ? 2 : 1); ++g)
        for (int ch = 0; ch < channels; ++ch) {
            TMP3SideInfo::TGranule& x = gr[g][ch];
            auto f = [&field](auto& member, int bits) {
                int v = int(member);
                field(v, bits);
                member = static_cast<std::remove_reference_t<decltype(member)>>(v);
            };
            f(x.Part23Length, 12);
            f(x.BigValues, 9);
            f(x.GlobalGain, 8);
            f(x.ScalefacCompress, mpeg1 ? 4 : 9);
            f(x.WindowSwitching, 1);
            if (x.WindowSwitching) {
                f(x.BlockType, 2);
                f(x.MixedBlock, 1);
                f(x.TableSelect[0], 5);
                f(x.TableSelect[1], 5);
                for (uint8_t& s : x.SubblockGain)
                    f(s, 3);
            } else {
                for (uint8_t& t : x.TableSelect)
                    f(t, 5);
                f(x.Region0Count, 4);
                f(x.Region1Count, 3);
            }
            if (mpeg1)
                f(x.Preflag, 1);
            f(x.ScalefacScale, 1);
            f(x.Count1Table, 1);
        }
}

} // namespace

bool TMP3SideInfo::Parse(TMP3Header h, const unsigned char* d) {
    if (!h.Valid() || h.Layer() != 3)
        return false;
    FMpeg1 = h.Mpeg1();
    FChannels = h.Channels();
    *this = TMP3SideInfo{};
    FMpeg1 = h.Mpeg1();
    FChannels = h.Channels();
    TBitReader r(d);
    Fields(FMpeg1, FChannels, MainDataBegin, PrivateBits, Scfsi, Gr,
           [&r](int& v, int bits) { v = int(r.Get(bits)); });
    return true;
}

void TMP3SideInfo::Write(unsigned char* d) const {
    TBitWriter w(d);
    // The field walk takes references; a copy keeps this object const.
    TMP3SideInfo copy = *this;
    Fields(FMpeg1, FChannels, copy.MainDataBegin, copy.PrivateBits, copy.Scfsi, copy.Gr,
           [&w](int& v, int bits) { w.Put(unsigned(v), bits); });
}

int TMP3SideInfo::MainDataBytes() const {
    int bits = 0;
    for (int g = 0; g < Granules(); ++g)
        for (int ch = 0; ch < FChannels; ++ch)
            bits += Gr[g][ch].Part23Length;
    return (bits + 7) / 8;
}
