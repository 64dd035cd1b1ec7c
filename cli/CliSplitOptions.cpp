#include "job/SplitPlan.h"
#include "cli/CliOptions.h"
#include "cli/CliSplit.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

// Far beyond any recording, and µs stay far inside 64 bits.
constexpr int64_t MaxSplitSeconds = int64_t(1) << 40;

} // namespace

std::optional<int64_t> ParseSplitTime(const QString& text, bool* tooLarge) {
    if (tooLarge)
        *tooLarge = false;
    static const QRegularExpression pattern(QStringLiteral("^([0-9:]+)(?:\\.(\\d{1,6}))?$"));
    // Seconds with an exponent, as other tools print them: "1e9", "2.5E3".
    static const QRegularExpression exponent(
        QStringLiteral("^(?:\\d+(?:\\.\\d*)?|\\.\\d+)[eE][+-]?\\d{1,4}$"));
    if (exponent.match(text).hasMatch()) {
        // Whatever the locale's decimal point: a "." as everywhere else in a time.
        const QByteArray bytes = text.toLatin1();
        double seconds = 0;
        const std::from_chars_result read =
            std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), seconds);
        if (read.ec == std::errc::result_out_of_range) // past a double's range, or below it
            seconds = bytes.contains("e-") || bytes.contains("E-") ? 0.0 : HUGE_VAL;
        if (!(seconds <= double(MaxSplitSeconds))) {
            if (tooLarge)
                *tooLarge = true;
            return std::nullopt;
        }
        return int64_t(std::llround(seconds * 1e6));
    }
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const std::optional<int64_t> seconds = ParseTimeText(m.captured(1));
    if (!seconds || *seconds > MaxSplitSeconds) {
        // Well-formed fields whose first is too long a number: a time, only far too large.
        static const QRegularExpression fields(QStringLiteral("^\\d+(?::[0-5]\\d){0,2}$"));
        if (tooLarge)
            *tooLarge = fields.match(m.captured(1)).hasMatch();
        return std::nullopt;
    }
    int64_t fraction = 0;
    if (m.capturedLength(2) > 0)
        fraction = m.captured(2).leftJustified(6, QLatin1Char('0')).toLongLong();
    return *seconds * 1000000 + fraction;
}

QString SplitUsageText() {
    return QStringLiteral(
               "  snipwave-cli split FILE (--at T,T,... | --every T | --cue SHEET.cue)\n"
               "               [--output-dir DIR] [--name PATTERN] [--fade SECONDS] [--jobs N]\n"
               "               [--force] [--no-tags] [--smart]\n"
               "\n"
               "split  writes FILE as consecutive pieces: cut at each --at point, of --every T "
               "each\n"
               "       (a last bit under a second, or under T, joins the piece before it), or one "
               "per\n"
               "       track of a cue sheet (whose FILE line names FILE when it is not given). T "
               "may\n"
               "       have a fraction (90.5, 1:02:03.250) or be seconds with an exponent (1e3). "
               "The\n"
               "       points are measured against where FILE's audio really ends: a point at or "
               "past\n"
               "       it is refused, and a last piece shorter than one MP3 frame (about 26 ms) "
               "joins\n"
               "       the one before it. No other piece may be shorter than a frame, and one "
               "split\n"
               "       makes at most %1 pieces. Pieces go to DIR (default: FILE's folder; a\n"
               "       missing DIR is made when its parent folder exists), named by PATTERN "
               "(default\n"
               "       \"{name}_{n}.mp3\"; {n} track number, {title}, {artist}, {name} FILE's "
               "base\n"
               "       name; a name that would be hidden or empty is the track number). Each "
               "piece\n"
               "       fades in and out over --fade seconds (default 3; 0 gives pieces that join "
               "to\n"
               "       FILE without a gap). Up to --jobs pieces are cut at once (default: one per\n"
               "       core). The pieces keep FILE's tags and cover with their track number (and "
               "the\n"
               "       sheet's titles); --no-tags writes none. Every check comes before the first\n"
               "       piece is written. Existing pieces are replaced only with --force. Ctrl-C\n"
               "       stops every piece and keeps the ones that were finished. --smart copies the\n"
               "       MP3 frames of each piece instead of re-encoding them, all but the fades (at\n"
               "       full volume, from a layer III FILE; otherwise the pieces are re-encoded with\n"
               "       a notice); its pieces keep FILE's tags unchanged, without track numbers.\n")
        .arg(MaxSplitPieces);
}

namespace {

bool TakeValue(const QStringList& args, int& i, QString& value, QString& error) {
    if (i + 1 >= args.size()) {
        error = QStringLiteral("%1 needs a value").arg(args[i]);
        return false;
    }
    value = args[++i];
    return true;
}

} // namespace

std::optional<TSplitRequest> ParseSplitCommandLine(const QStringList& args, QString& error) {
    TSplitRequest r;
    int ways = 0;
    bool haveSource = false, optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1String("--")) || arg.size() == 2) {
            if (!optionsEnded && arg == QLatin1String("--")) {
                optionsEnded = true;
                continue;
            }
            if (haveSource) {
                error = QStringLiteral("only one FILE may be given (extra: %1)").arg(arg);
                return std::nullopt;
            }
            r.Source = arg;
            haveSource = !arg.isEmpty();
            continue;
        }
        QString value;
        if (arg == QLatin1String("--force")) {
            r.Force = true;
        } else if (arg == QLatin1String("--no-tags")) {
            r.KeepTags = false;
        } else if (arg == QLatin1String("--at")) {
            if (!TakeValue(args, i, value, error))
                return std::nullopt;
            r.AtUs.clear();
            for (const QString& part : value.split(QLatin1Char(','))) {
                bool tooLarge = false;
                const std::optional<int64_t> t = ParseSplitTime(part.trimmed(), &tooLarge);
                if (!t) {
                    error = tooLarge ? QStringLiteral("--at: \"%1\" is beyond the end of any "
                                                      "recording")
                                           .arg(part)
                                     : QStringLiteral("--at: \"%1\" is not a time").arg(part);
                    return std::nullopt;
                }
                r.AtUs.push_back(*t);
            }
            ++ways;
        } else if (arg == QLatin1String("--every")) {
            if (!TakeValue(args, i, value, error))
                return std::nullopt;
            bool tooLarge = false;
            const std::optional<int64_t> t = ParseSplitTime(value, &tooLarge);
            if (!t && !tooLarge) {
                error = QStringLiteral("--every: \"%1\" is not a time").arg(value);
                return std::nullopt;
            }
            if (t && *t <= 0) {
                error = QStringLiteral("--every: \"%1\" is not a length above 0").arg(value);
                return std::nullopt;
            }
            // A length too large to count in is longer than any file: the command says so
            // with the file's length.
            r.EveryUs = t ? *t : std::numeric_limits<int64_t>::max();
            r.EveryText = value;
            ++ways;
        } else if (arg == QLatin1String("--cue")) {
            if (!TakeValue(args, i, r.CueSheet, error))
                return std::nullopt;
            if (r.CueSheet.isEmpty()) {
                error = QStringLiteral("--cue: the name is empty");
                return std::nullopt;
            }
            ++ways;
        } else if (arg == QLatin1String("--output-dir")) {
            if (!TakeValue(args, i, r.OutputDir, error))
                return std::nullopt;
            if (r.OutputDir.isEmpty()) {
                error = QStringLiteral("--output-dir: the name is empty");
                return std::nullopt;
            }
        } else if (arg == QLatin1String("--name")) {
            if (!TakeValue(args, i, r.NamePattern, error))
                return std::nullopt;
            if (r.NamePattern.trimmed().isEmpty()) {
                error = QStringLiteral("--name: the pattern is empty");
                return std::nullopt;
            }
        } else if (arg == QLatin1String("--smart")) {
            r.Smart = true;
        } else if (arg == QLatin1String("--fade")) {
            if (!TakeValue(args, i, value, error))
                return std::nullopt;
            const std::optional<int64_t> t = ParseSplitTime(value);
            if (!t || *t > 3600 * int64_t(1000000)) {
                error = QStringLiteral("--fade: \"%1\" is not a number of seconds").arg(value);
                return std::nullopt;
            }
            r.FadeUs = *t;
        } else if (arg == QLatin1String("--jobs")) {
            if (!TakeValue(args, i, value, error))
                return std::nullopt;
            bool ok = false;
            r.Jobs = value.toInt(&ok);
            if (!ok || r.Jobs < 1 || r.Jobs > 256) {
                error = QStringLiteral("--jobs: \"%1\" is not a number from 1 to 256").arg(value);
                return std::nullopt;
            }
        } else {
            error = QStringLiteral("unknown option: %1").arg(arg);
            return std::nullopt;
        }
    }
    if (ways != 1) {
        error = ways == 0 ? QStringLiteral("split needs --at, --every or --cue")
                          : QStringLiteral("give only one of --at, --every and --cue");
        return std::nullopt;
    }
    if (!haveSource && r.CueSheet.isEmpty()) {
        error = QStringLiteral("FILE is missing");
        return std::nullopt;
    }
    return r;
}
