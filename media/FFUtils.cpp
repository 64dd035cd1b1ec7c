#include "media/FFUtils.h"

#include "media/UnicodeProtocol.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstring>
#include <utility>

QString TimeText(int64_t us) {
    if (us == AV_NOPTS_VALUE)
        return QStringLiteral("N/A");
    // Fields of the magnitude: per-field signs would give "00:00:-01.-500".
    const bool negative = us < 0;
    const uint64_t t = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
    const uint64_t s = t / 1000000;
    return QString::asprintf("%s%.2llu:%.2llu:%.2llu.%.3llu", negative ? "-" : "",
                             static_cast<unsigned long long>(s / 3600),
                             static_cast<unsigned long long>(s / 60 % 60),
                             static_cast<unsigned long long>(s % 60),
                             static_cast<unsigned long long>(t % 1000000 / 1000));
}

namespace {

// The library's codes and their texts. The codes are those this FFmpeg generation returns for
// each condition, several of which changed from plain negated errno values to tags.
struct TErrorText {
    int Code;
    const char* Text;
};

const TErrorText ErrorTexts[] = {
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
    {AVERROR(EPROTONOSUPPORT), "Unsupported network protocol"},
    {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
    {AVERROR_MUXER_NOT_FOUND, "Unknown format"},
    {AVERROR(EILSEQ), "Unknown format"},
    {AVERROR(EDOM), "Number syntax expected in filename"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    // FFmpeg 5.1's demuxers give EINVAL for what older ones called invalid data.
    {AVERROR(EINVAL), "Invalid data found when processing input"},
    {AVERROR_NOT_REGULAR_FILE, "not a regular file"},
    {AVERROR(ENOMEM), "Not enough memory"},
    {AVERROR(EIO), "I/O error"},
    {AVERROR(ENOENT), "No such file or directory"},
};

} // namespace

QString LibErrorText(int code) {
    for (const TErrorText& e : ErrorTexts)
        if (e.Code == code)
            return QString::fromLatin1(e.Text);
    return QString::asprintf("Error number %d occurred", code);
}

QString LibErrorText(const QString& fileName, int code) {
    return fileName + QStringLiteral(": ") + LibErrorText(code);
}

QString FileErrorText(int code) {
    for (const TErrorText& e : ErrorTexts)
        if (e.Code == code)
            return QString::fromLatin1(e.Text);
    // FFmpeg's own tags are large negative numbers; system error numbers are small.
    if (code < 0 && code > -4096) {
        char buf[256];
        const char* text = strerror_r(-code, buf, sizeof buf); // GNU form: may not use buf
        if (text && *text && std::strncmp(text, "Unknown error", 13) != 0)
            return QString::fromLocal8Bit(text);
    }
    return LibErrorText(code);
}

QString MediaTypeName(int type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return QStringLiteral("Video");
    case AVMEDIA_TYPE_AUDIO:
        return QStringLiteral("Audio");
    case AVMEDIA_TYPE_DATA:
        return QStringLiteral("Data");
    case AVMEDIA_TYPE_SUBTITLE:
        return QStringLiteral("Subtitle");
    case AVMEDIA_TYPE_ATTACHMENT:
        return QStringLiteral("Attachment");
    default:
        return QStringLiteral("Unknown");
    }
}

void CutText(QString& text, const QString& delim, bool remove, QString& head) {
    // Both results are computed before either is stored, so text and head may be one string.
    const qsizetype at = delim.isEmpty() ? -1 : text.indexOf(delim);
    QString newHead = at < 0 ? text : text.left(at);
    QString rest = at < 0 ? QString() : text.mid(at + delim.size());
    if (remove)
        text = std::move(rest);
    head = std::move(newHead);
}
