#include "job/CutRules.h"

#include "job/TimeTexts.h"
#include "media/MyUtils.h"
#include "media/decode/TCustomDecoder.h"

#include <QLatin1Char>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

const QChar Separator = QLatin1Char('/');

// The extension of the last part of a name, from its last "." ("" when it has none).
QString ExtensionOf(const QString& fileName) {
    const qsizetype slash = fileName.lastIndexOf(Separator);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > slash ? fileName.mid(dot) : QString();
}

// Nearest integer, ties to the even one, whatever the FPU's rounding mode happens to be.
int64_t RoundHalfEven(double x) {
    const double down = std::floor(x);
    const double fraction = x - down;
    int64_t result = int64_t(down);
    if (fraction > 0.5 || (fraction == 0.5 && (result & 1) != 0))
        ++result;
    return result;
}

// Blank in the sense of the log: spaces and control characters.
bool IsBlank(QChar c) {
    return c.unicode() <= ' ';
}

} // namespace

QString MakeOutputPath(const QString& folder, const QString& name) {
    QString path = folder;
    if (!path.endsWith(Separator))
        path += Separator;
    path += name;
    if (ExtensionOf(path).toLower() != QLatin1String(".mp3"))
        path += QLatin1String(".mp3");
    return path;
}

int VolumeValue(int sliderPosition) {
    return std::clamp(sliderPosition, 0, 100) * 255 / 100;
}

int PreviewVolumeValue(int sliderPosition) {
    return std::clamp(sliderPosition, 0, 100) * 128 / 100;
}

int FadeGain(int64_t t, int64_t start, int64_t end, int64_t fadeLength) {
    if (fadeLength <= 0)
        return FullGain;
    double gain;
    if (t - start < fadeLength)
        gain = double(t - start) / double(fadeLength) * FullGain;
    else if (end - fadeLength < t)
        gain = double(end - t) / double(fadeLength) * FullGain;
    else
        return FullGain;
    return int(std::clamp<int64_t>(RoundHalfEven(gain), 0, FullGain));
}

namespace {

// Scales each frame of a block of frames × channels samples by its fade gain.
template <class TSample, class TScale>
void FadeFrames(TSample* sample, int frames, int channels, int64_t pts, int sampleRate,
                int64_t start, int64_t end, int64_t fadeLength, TScale scale) {
    for (int h = 0; h < frames; ++h, sample += channels) {
        const int64_t t = pts + int64_t(h) * 1000000 / sampleRate;
        const int gain = FadeGain(t, start, end, fadeLength);
        if (gain == FullGain)
            continue;
        for (int c = 0; c < channels; ++c)
            sample[c] = scale(sample[c], gain);
    }
}

} // namespace

void ApplyFade(int64_t pts, void* samples, int size, int sampleRate, int channels, int sampleFormat,
               int64_t start, int64_t end, int64_t fadeLength) {
    if (samples == nullptr || sampleRate <= 0 || channels <= 0)
        return;
    const bool s16 = sampleFormat == AV_SAMPLE_FMT_S16;
    if (!s16 && sampleFormat != AV_SAMPLE_FMT_FLT)
        return;
    const int frames = size / (s16 ? 2 : int(sizeof(float))) / channels;
    // Full gain holds on one interval of time, so a block whose first and last frames have it
    // is left as it is: most blocks of a cut.
    if (frames <= 0 || (FadeGain(pts, start, end, fadeLength) == FullGain &&
                        FadeGain(pts + int64_t(frames - 1) * 1000000 / sampleRate, start, end,
                                 fadeLength) == FullGain))
        return;
    if (s16)
        FadeFrames(static_cast<int16_t*>(samples), frames, channels, pts, sampleRate, start, end,
                   fadeLength, [](int16_t s, int gain) {
                       // >> on a negative int is an arithmetic shift (C++20), which rounds
                       // toward minus infinity, unlike division.
                       return int16_t(std::clamp((gain * int(s) + 128) >> 8, -32768, 32767));
                   });
    else // the same gain steps; float samples need no rounding and cannot overflow
        FadeFrames(static_cast<float*>(samples), frames, channels, pts, sampleRate, start, end,
                   fadeLength,
                   [](float s, int gain) { return s * (float(gain) / float(FullGain)); });
}

bool ReadSourceInfo(TCustomDecoder& probe, const QString& fileName, TSourceInfo& info) {
    if (probe.FormatContext() == nullptr)
        return false;
    const TFileStreamInfo media = probe.GetMediaInfo();
    info.FileName = fileName;
    info.TypeName = probe.FormatLongName();
    info.Title = media.Title;
    info.Artist = media.Author;
    info.Album = media.Album;
    info.Year = media.Year;
    info.FileSize = probe.FileSize();
    info.Duration = media.Duration;
    info.BitRate = media.BitRate;
    return true;
}

QStringList InformationLines(const TSourceInfo& info) {
    return {
        QStringLiteral("File Name: ") + info.FileName,
        QStringLiteral("Type: ") + info.TypeName,
        QStringLiteral("Title: ") + info.Title,
        QStringLiteral("Artist: ") + info.Artist,
        QStringLiteral("Album: ") + info.Album,
        QStringLiteral("Year: %1").arg(info.Year),
        QStringLiteral("File Size: ") + SizeText(info.FileSize),
        // An unknown duration (-1) reads as no time at all.
        QStringLiteral("Duration: ") + FormatDuration(std::max<int64_t>(info.Duration, 0)),
        QStringLiteral("Bit Rate: %1 kbps").arg(info.BitRate / 1000),
    };
}

QStringList InformationLogLines(const QStringList& panelLines) {
    QStringList lines{QStringLiteral("============ file info ================")};
    for (const QString& line : panelLines)
        if (!std::all_of(line.begin(), line.end(), IsBlank))
            lines << line;
    lines << QStringLiteral("=======================================");
    return lines;
}

QString DefaultOutputFolder(const QString& sourceFileName) {
    return ExtractFilePathW(ExpandFileNameW(sourceFileName));
}

QString DefaultOutputName(const QString& sourceFileName) {
    const QString name = ExtractFileNameW(sourceFileName);
    const QString extension = ExtensionOf(name);
    return name.left(name.size() - extension.size()) + QStringLiteral("_new") + extension;
}
