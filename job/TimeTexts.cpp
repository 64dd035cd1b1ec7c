#include "job/TimeTexts.h"

#include <QRegularExpression>

#include <algorithm>

QString FormatSeconds(int64_t seconds) {
    // Work on the magnitude: formatting each field of a negative value on its own would give
    // "00:-01:-05". Unsigned negation keeps INT64_MIN exact.
    const bool negative = seconds < 0;
    const uint64_t s =
        negative ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
    return QString::asprintf(
        "%s%.2llu:%.2llu:%.2llu", negative ? "-" : "", static_cast<unsigned long long>(s / 3600),
        static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
}

QString FormatDuration(int64_t us) {
    return FormatSeconds(MicrosecondsToSeconds(us));
}

QString FormatExactTime(int64_t us) {
    us = std::max<int64_t>(0, us);
    return FormatSeconds(MicrosecondsToSeconds(us)) +
           QString::asprintf(".%03lld", static_cast<long long>(us % 1000000 / 1000));
}

std::optional<int64_t> ParseTimeTextUs(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^(?:(?:(\\d{1,10}):)?(\\d{1,10}):)?(\\d{1,10})(?:\\.(\\d{1,6}))?$"));
    const QRegularExpressionMatch m = pattern.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    const bool hasHours = m.capturedLength(1) > 0, hasMinutes = m.capturedLength(2) > 0;
    const int64_t h = hasHours ? m.captured(1).toLongLong() : 0;
    const int64_t mm = hasMinutes ? m.captured(2).toLongLong() : 0;
    const int64_t s = m.captured(3).toLongLong();
    if ((hasMinutes && s >= 60) || (hasHours && mm >= 60))
        return std::nullopt;
    const int64_t seconds = (h * 60 + mm) * 60 + s;
    if (seconds > 1000000000)
        return std::nullopt;
    const QString fraction = (m.captured(4) + QStringLiteral("000000")).left(6);
    return seconds * AppTimeBase + fraction.toLongLong();
}
