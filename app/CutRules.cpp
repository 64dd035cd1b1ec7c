#include "app/CutRules.h"

#include "app/TimeTexts.h"
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

int FadeGain(int64_t t, int64_t start, int64_t end) {
    double gain;
    if (t - start < FadeLength)
        gain = double(t - start) / double(FadeLength) * FullGain;
    else if (end - FadeLength < t)
        gain = double(end - t) / double(FadeLength) * FullGain;
    else
        return FullGain;
    return int(std::clamp<int64_t>(RoundHalfEven(gain), 0, FullGain));
}

void ApplyFade(int64_t pts, void* samples, int size, int sampleRate, int channels, int sampleFormat,
               int64_t start, int64_t end) {
    if (samples == nullptr || sampleRate <= 0 || channels <= 0)
        return;
    // Full gain holds on one interval of time, so a block whose first and last frames have it
    // is left as it is: most blocks of a cut.
    const int sampleBytes = sampleFormat == AV_SAMPLE_FMT_S16 ? 2 : int(sizeof(float));
    const int blockFrames = size / sampleBytes / channels;
    if (blockFrames > 0 && FadeGain(pts, start, end) == FullGain &&
        FadeGain(pts + int64_t(blockFrames - 1) * 1000000 / sampleRate, start, end) == FullGain)
        return;
    if (sampleFormat == AV_SAMPLE_FMT_S16) {
        const int frames = size / 2 / channels;
        auto* sample = static_cast<int16_t*>(samples);
        for (int h = 0; h < frames; ++h, sample += channels) {
            const int64_t t = pts + int64_t(h) * 1000000 / sampleRate;
            const int gain = FadeGain(t, start, end);
            if (gain == FullGain)
                continue;
            for (int c = 0; c < channels; ++c) {
                // >> on a negative int is an arithmetic shift (C++20), which rounds toward minus
                // infinity, unlike division.
                const int scaled = (gain * int(sample[c]) + 128) >> 8;
                sample[c] = int16_t(std::clamp(scaled, -32768, 32767));
            }
        }
    } else if (sampleFormat == AV_SAMPLE_FMT_FLT) {
        // The same gain steps on float samples, which need no rounding and cannot overflow.
        const int frames = size / int(sizeof(float)) / channels;
        auto* sample = static_cast<float*>(samples);
        for (int h = 0; h < frames; ++h, sample += channels) {
            const int64_t t = pts + int64_t(h) * 1000000 / sampleRate;
            const int gain = FadeGain(t, start, end);
            if (gain == FullGain)
                continue;
            const float g = float(gain) / float(FullGain);
            for (int c = 0; c < channels; ++c)
                sample[c] *= g;
        }
    }
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
