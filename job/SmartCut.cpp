#include "job/SmartCut.h"

#include "job/CutRules.h"
#include "media/TAtomicFile.h"
#include "media/mp3/FFMP3FrameDecoder.h"
#include "media/mp3/FFMP3FrameEncoder.h"
#include "media/mp3/TMP3Repacker.h"
#include "media/mp3/TMP3SplicePlan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

QString TSmartCut::FallbackReason(int volumePercent, int64_t fadeUs) {
    if (volumePercent != 100)
        return QStringLiteral("a volume other than 100 changes every sample");
    (void)fadeUs; // the fades themselves are re-encoded, the rest copied
    return QString();
}

bool TSmartCut::Open(const QString& source, QString& why) {
    return FCopier.Open(source, why);
}

int64_t TSmartCut::SampleAt(int64_t us, int rate) {
    return us <= 0 || rate <= 0 ? 0 : (us * rate + 500000) / 1000000;
}

bool TSmartCut::Cut(const QString& output, int64_t startUs, int64_t endUs, int64_t fadeUs,
                    bool keepTags, bool replace, QString& error) const {
    const int rate = FCopier.SampleRate();
    const int64_t start = SampleAt(startUs, rate);
    const int64_t end = std::min(SampleAt(endUs, rate), FCopier.DecodedSamples());
    // The tag is written last, in front of the audio: the output must be a file that can seek.
    if (!TAtomicFile::Applies(output)) {
        error = QStringLiteral("%1 is not a regular file; a smart cut writes only files.").arg(output);
        return false;
    }
    TAtomicFile file;
    const int fd = file.Create(output);
    if (fd < 0) {
        error = QStringLiteral("Failed to create %1: %2")
                    .arg(output, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    bool ok = fadeUs > 0 ? WriteFaded(fd, startUs, endUs, fadeUs, keepTags, error)
                         : FCopier.Write(fd, start, end, keepTags, error);
    if (ok && ::fsync(fd) != 0) {
        error = QStringLiteral("Failed to write %1: %2")
                    .arg(output, QString::fromLocal8Bit(std::strerror(errno)));
        ok = false;
    }
    ::close(fd);
    if (!ok) {
        file.Discard();
        return false;
    }
    if (!file.Commit(replace)) {
        error = errno == EEXIST
                    ? QStringLiteral("The output file exists: %1").arg(output)
                    : QStringLiteral("Failed to write %1: %2")
                          .arg(output, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool TSmartCut::Encode(int64_t from, int64_t to, int64_t keepFirst, int64_t keepLast, int64_t base,
                       int64_t startUs, int64_t endUs, int64_t fadeUs, std::vector<TFrame>& frames,
                       QString& error) const {
    const int spf = FCopier.SamplesPerFrame(), rate = FCopier.SampleRate();
    const int64_t skip = FCopier.Skip(), count = FCopier.FrameCount();
    const TMP3Header shape = FCopier.HeaderOf(std::clamp<int64_t>(base, 0, count - 1));
    const int channels = shape.Channels();

    // The source's decoded samples, from a few frames early: a frame decodes right only after
    // the reservoir and the overlap before it.
    std::vector<int16_t> input(size_t((to - from) * channels), 0);
    const int64_t first = std::max<int64_t>(0, (from + skip) / spf - 6);
    const int64_t last = std::min(count - 1, (to + skip) / spf + 1);
    int kbps = 0;
    for (int64_t j = std::max<int64_t>(0, base); j <= std::min(count - 1, base + keepLast); ++j)
        kbps = std::max(kbps, FCopier.HeaderOf(j).Kbps());
    if (kbps == 0)
        kbps = shape.Kbps();
    if (first <= last) {
        std::vector<TFrame> source;
        std::vector<int16_t> raw;
        FFMP3FrameDecoder decoder;
        if (!FCopier.ReadFrames(first, last, source) || !decoder.Open(error) ||
            !decoder.Decode(source, spf, channels, raw, error)) {
            if (error.isEmpty())
                error = QStringLiteral("The source cannot be read.");
            return false;
        }
        const int64_t lo = std::max<int64_t>(from, 0);
        const int64_t hi = std::min(to, FCopier.DecodedSamples());
        for (int64_t d = lo; d < hi; ++d) {
            const int64_t r = d + skip - first * spf;
            if (r < 0 || (r + 1) * channels > int64_t(raw.size()))
                continue;
            std::copy_n(raw.begin() + r * channels, channels, input.begin() + (d - from) * channels);
        }
    }
    // The cut's own fade law, block by block on the source's timeline.
    for (int64_t d = from; d < to; d += spf) {
        const int n = int(std::min<int64_t>(spf, to - d));
        const int64_t pts = d >= 0 ? (d * 1000000 + rate / 2) / rate : -((-d * 1000000) / rate) - 1;
        ApplyFade(pts, input.data() + (d - from) * channels, n * channels * 2, rate, channels,
                  AV_SAMPLE_FMT_S16, startUs, endUs, fadeUs);
    }

    FFMP3FrameEncoder encoder;
    std::vector<TFrame> encoded;
    const bool joint = (shape.Value() >> 6 & 3) == 1;
    if (!encoder.Open(rate, channels, kbps, joint, error) ||
        !encoder.Encode(input.data(), to - from, encoded, error) || !encoder.Finish(encoded, error))
        return false;
    if (keepFirst < 0 || keepLast >= int64_t(encoded.size())) {
        error = QStringLiteral("The encoder made fewer frames than the fades need.");
        return false;
    }
    frames.assign(encoded.begin() + keepFirst, encoded.begin() + keepLast + 1);
    return true;
}

bool TSmartCut::WriteFaded(int fd, int64_t startUs, int64_t endUs, int64_t fadeUs, bool keepTags,
                           QString& error) const {
    const int rate = FCopier.SampleRate();
    const int64_t start = SampleAt(startUs, rate);
    const int64_t end = std::min(SampleAt(endUs, rate), FCopier.DecodedSamples());
    TMP3SplicePlan plan;
    plan.SamplesPerFrame = FCopier.SamplesPerFrame();
    plan.Skip = FCopier.Skip();
    {
        FFMP3FrameEncoder probe; // LAME's lead, as this library reports it
        const TMP3Header shape = FCopier.HeaderOf(0);
        if (!probe.Open(rate, shape.Channels(), shape.Kbps() > 0 ? shape.Kbps() : 128, false,
                        error))
            return false;
        plan.EncoderLead = probe.Lead();
    }
    // One sample more than the fade: the copied frames must lie where the gain is full.
    if (start >= end || !plan.Make(start, end, SampleAt(fadeUs, rate) + 1)) {
        error = QStringLiteral("The range cannot be cut exactly.");
        return false;
    }
    const int spf = plan.SamplesPerFrame;
    const int64_t skip = plan.Skip;
    std::vector<TFrame> head, tail;
    if (!plan.Copies()) {
        // No whole frame between the fades: all of it is re-encoded.
        if (!Encode(plan.HeadInput, (plan.TailLast + 3) * spf - skip, 0,
                    plan.TailLast - plan.HeadBase, plan.HeadBase, startUs, endUs, fadeUs, head,
                    error))
            return false;
        return FCopier.WriteSpliced(fd, head, 0, -1, {}, plan.Delay, plan.Padding, keepTags,
                                    error);
    }
    // The head runs unfaded past its splice so its last granule's overlap is the source's; its
    // reservoir ends with the bytes the first copied frame reaches back to.
    std::vector<unsigned char> reserve;
    if (!Encode(plan.HeadInput, (plan.HeadSplice + 3) * spf - skip, 0,
                plan.HeadSplice - plan.HeadBase - 1, plan.HeadBase, startUs, endUs, fadeUs, head,
                error) ||
        !Encode(plan.TailInput, (plan.TailLast + 3) * spf - skip, plan.TailSplice - plan.TailBase,
                plan.TailLast - plan.TailBase, plan.TailBase, startUs, endUs, fadeUs, tail, error))
        return false;
    if (!FCopier.ReservoirBefore(plan.HeadSplice, reserve) || !TMP3Repacker::Repack(head, reserve)) {
        error = QStringLiteral("The fade-in cannot be joined to the copied frames.");
        return false;
    }
    return FCopier.WriteSpliced(fd, head, plan.HeadSplice, plan.TailSplice - 1, tail, plan.Delay,
                                plan.Padding, keepTags, error);
}
