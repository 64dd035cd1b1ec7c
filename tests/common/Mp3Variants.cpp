#include "common/Mp3Variants.h"

#include "media/mp3/FFMP3FrameIndex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>
#include <vector>

namespace mp3variants {
namespace {

// The fixture's bytes and the byte positions of its audio frames (after any ID3v2 tag and the
// info tag's frame, which the index finds as the demuxer does).
bool Load(const QString& fixture, QByteArray& bytes, std::vector<int64_t>& frames) {
    QFile file(fixture);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    // The first audio frame is the second header of the file: the first holds the info tag.
    int64_t id3 = 0;
    if (bytes.startsWith("ID3") && bytes.size() > 10)
        id3 = 10 + (int64_t(bytes[6] & 0x7F) << 21 | int64_t(bytes[7] & 0x7F) << 14 |
                    int64_t(bytes[8] & 0x7F) << 7 | int64_t(bytes[9] & 0x7F));
    TMP3FrameIndex all;
    if (!all.Build(fixture, id3) || all.Positions().size() < 3)
        return false;
    frames.assign(all.Positions().begin() + 1, all.Positions().end());
    return true;
}

QString Write(const QString& folder, const QString& fixture, const char* suffix,
              const QByteArray& bytes) {
    const QString name =
        QDir(folder).filePath(QFileInfo(fixture).completeBaseName() + suffix + ".mp3");
    QFile out(name);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        return QString();
    return name;
}

} // namespace

QString WithId3v1(const QString& fixture, const QString& folder) {
    QByteArray bytes;
    std::vector<int64_t> frames;
    if (!Load(fixture, bytes, frames))
        return QString();
    QByteArray tag("TAG");
    tag.append(QByteArray("Title").leftJustified(30, '\0'));
    tag = tag.leftJustified(128, '\0');
    return Write(folder, fixture, "-id3v1", bytes + tag);
}

QString WithFramesAppended(const QString& fixture, const QString& folder, int count) {
    QByteArray bytes;
    std::vector<int64_t> frames;
    if (!Load(fixture, bytes, frames) || size_t(count) >= frames.size())
        return QString();
    const int64_t from = frames[frames.size() - size_t(count)];
    return Write(folder, fixture, "-spliced", bytes + bytes.mid(from));
}

QString WithoutMiddleFrame(const QString& fixture, const QString& folder) {
    QByteArray bytes;
    std::vector<int64_t> frames;
    if (!Load(fixture, bytes, frames))
        return QString();
    const size_t middle = frames.size() / 2;
    bytes.remove(frames[middle], frames[middle + 1] - frames[middle]);
    return Write(folder, fixture, "-lostframe", bytes);
}

QString WithGarbagePayload(const QString& fixture, const QString& folder) {
    QByteArray bytes;
    std::vector<int64_t> frames;
    if (!Load(fixture, bytes, frames))
        return QString();
    frames.push_back(bytes.size());
    for (size_t i = 0; i + 1 < frames.size(); ++i)
        for (int64_t at = frames[i] + 4; at < frames[i + 1]; ++at)
            bytes[qsizetype(at)] = char(0xFF);
    return Write(folder, fixture, "-garbage", bytes);
}

QString WithFirstFramesOnly(const QString& fixture, const QString& folder, int count) {
    QByteArray bytes;
    std::vector<int64_t> frames;
    if (!Load(fixture, bytes, frames) || count < 1 || size_t(count) >= frames.size())
        return QString();
    bytes.truncate(qsizetype(frames[size_t(count)]));
    return Write(folder, fixture, ("-" + std::to_string(count) + "frames").c_str(), bytes);
}

} // namespace mp3variants
