#include "job/TimeTexts.h"

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
