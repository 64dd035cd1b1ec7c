#pragma once
// The rules of a cut that need no window: the output name, the engine's volume value, the fades
// applied to the decoded samples, and the information shown and logged for a source. The main
// window and the command line both use them, so a cut made either way is the same cut.
//
// Threads: ApplyFade runs on the encoder's worker thread (its audio hook); everything here is
// a pure function of its arguments, except ReadSourceInfo, which uses the caller's probe.

#include <QString>
#include <QStringList>

#include <cstdint>

class TCustomDecoder;

// Length of each fade, µs.
inline constexpr int64_t FadeLength = 3000000;
// Gain that leaves a sample unchanged (8 fractional bits).
inline constexpr int FullGain = 256;

// folder + "/" (unless folder already ends with one) + name, with ".mp3" appended unless the
// name's extension is ".mp3" in any case. An empty folder gives a name at the root.
QString MakeOutputPath(const QString& folder, const QString& name);

// The engine's volume (0..255; 256 would be unity) for a volume slider position of 0..100;
// positions outside that range are taken as the nearest end.
int VolumeValue(int sliderPosition);
// The preview player's volume (0..128, 128 = unchanged) for a volume slider position of 0..100.
int PreviewVolumeValue(int sliderPosition);

// Gain 0..256 of the frame at time t (µs) within the cut range start..end (µs): rising over the
// first three seconds, falling over the last three, 256 between. Within three seconds of both
// ends the rise wins. Frames outside the range get 0: a negative gain would invert them.
// fadeLength (µs) other than the three seconds serves the command line's --fade; 0 or less
// means no fade at all.
int FadeGain(int64_t t, int64_t start, int64_t end, int64_t fadeLength = FadeLength);

// Applies the fades in place to one block of interleaved samples, signed 16-bit or float (the
// two formats the engine hands its audio hook). pts: the block's time on the source's
// timeline, µs; size: bytes; start/end: the cut range, µs. Blocks in any other sample format
// (sampleFormat is an AVSampleFormat value) are left alone rather than misread; so are blocks
// with no rate or channels.
void ApplyFade(int64_t pts, void* samples, int size, int sampleRate, int channels, int sampleFormat,
               int64_t start, int64_t end, int64_t fadeLength = FadeLength);

// What the information panel shows about a source.
struct TSourceInfo {
    QString FileName; // as chosen
    QString TypeName; // long name of the detected input format
    QString Title;
    QString Artist;
    QString Album;
    int Year = 0;          // 0 when the file has none
    int64_t FileSize = -1; // bytes
    int64_t Duration = -1; // µs; -1 when not known
    int BitRate = 0;       // bits per second
};

// Fills info from a probe that has the file open; false (info untouched) when it has none.
bool ReadSourceInfo(TCustomDecoder& probe, const QString& fileName, TSourceInfo& info);

// The nine lines of the panel, in order ("File Name: ...", ..., "Bit Rate: 128 kbps"); the
// panel puts an empty line after each.
QStringList InformationLines(const TSourceInfo& info);

// The log lines of a panel's lines: a header, every line that is not blank (kept untrimmed),
// a footer.
QStringList InformationLogLines(const QStringList& panelLines);

// The default output folder of a source: its folder with a trailing "/". A relative name is
// taken against the current folder first, so the default never lands at the root.
QString DefaultOutputFolder(const QString& sourceFileName);
// The default output name: the source's name with "_new" before its extension
// ("song.mp3" gives "song_new.mp3", "song" gives "song_new").
QString DefaultOutputName(const QString& sourceFileName);
