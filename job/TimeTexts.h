#pragma once
// Time units of the application and the texts it shows for times. The range trackbar counts
// whole seconds; the media components count microseconds.

#include <QString>
#include <cstdint>
#include <optional>

// Microseconds per second, the media components' time base.
inline constexpr int64_t AppTimeBase = 1000000;

inline constexpr int64_t SecondsToMicroseconds(int64_t seconds) {
    return seconds * AppTimeBase;
}
// Truncates toward zero, so a 200.9 s file gives a trackbar maximum of 200.
inline constexpr int64_t MicrosecondsToSeconds(int64_t us) {
    return us / AppTimeBase;
}

// "HH:MM:SS" of a trackbar value in seconds; hours are not wrapped at 24 and grow past two
// digits. A negative value carries one leading "-" ("-00:01:05").
QString FormatSeconds(int64_t seconds);

// The same text for a media time in microseconds, whole seconds truncated toward zero.
QString FormatDuration(int64_t us);

// hh:mm:ss.mmm of us (µs, not negative), for times that are not whole seconds.
QString FormatExactTime(int64_t us);

// µs of a typed time: "S", "M:SS" or "H:MM:SS" as the command line takes them (minutes and
// seconds below 60 after the first field), with an optional fraction of up to six digits
// ("1:05.250"), so every text FormatSeconds and FormatExactTime make reads back. Surrounding
// spaces are allowed; nullopt for anything else, a sign, or a value past 10^9 seconds.
std::optional<int64_t> ParseTimeTextUs(const QString& text);
