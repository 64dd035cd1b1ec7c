#include "job/SmartCut.h"

#include "media/TAtomicFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

QString TSmartCut::FallbackReason(int volumePercent, int64_t fadeUs) {
    if (volumePercent != 100)
        return QStringLiteral("a volume other than 100 changes every sample");
    if (fadeUs > 0)
        return QStringLiteral("fades are made only by re-encoding");
    return QString();
}

bool TSmartCut::Open(const QString& source, QString& why) {
    return FCopier.Open(source, why);
}

int64_t TSmartCut::SampleAt(int64_t us, int rate) {
    return us <= 0 || rate <= 0 ? 0 : (us * rate + 500000) / 1000000;
}

bool TSmartCut::Cut(const QString& output, int64_t startUs, int64_t endUs, bool keepTags,
                    bool replace, QString& error) const {
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
    bool ok = FCopier.Write(fd, start, end, keepTags, error);
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
