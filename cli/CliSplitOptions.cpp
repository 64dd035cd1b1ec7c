#include "cli/CliOptions.h"
#include "cli/CliSplit.h"

#include <QRegularExpression>

std::optional<int64_t> ParseSplitTime(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^([0-9:]+)(?:\\.(\\d{1,6}))?$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const std::optional<int64_t> seconds = ParseTimeText(m.captured(1));
    // Far beyond any recording, and µs stay far inside 64 bits.
    if (!seconds || *seconds > int64_t(1) << 40)
        return std::nullopt;
    int64_t fraction = 0;
    if (m.capturedLength(2) > 0)
        fraction = m.captured(2).leftJustified(6, QLatin1Char('0')).toLongLong();
    return *seconds * 1000000 + fraction;
}

QString SplitUsageText() {
    return QStringLiteral(
        "  snipwave-cli split FILE (--at T,T,... | --every T | --cue SHEET.cue)\n"
        "               [--output-dir DIR] [--name PATTERN] [--fade SECONDS] [--jobs N]\n"
        "               [--force] [--no-tags]\n"
        "\n"
        "split  writes FILE as consecutive pieces: cut at each --at point, of --every T each\n"
        "       (a last bit under a second joins the piece before it), or one per track of a\n"
        "       cue sheet (whose FILE line names FILE when it is not given). T may have a\n"
        "       fraction (90.5, 1:02:03.250). Pieces go to DIR (default: FILE's folder), named\n"
        "       by PATTERN (default \"{name}_{n}.mp3\"; {n} track number, {title}, {artist},\n"
        "       {name} FILE's base name). Each piece fades in and out over --fade seconds\n"
        "       (default 3; 0 gives pieces that join to FILE without a gap). --jobs pieces are\n"
        "       cut at once (default: one per core). The pieces keep FILE's tags and cover\n"
        "       with their track number (and the sheet's titles); --no-tags writes none.\n"
        "       Existing pieces are replaced only with --force. Ctrl-C stops every piece and\n"
        "       keeps the ones that were finished.\n");
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
                const std::optional<int64_t> t = ParseSplitTime(part.trimmed());
                if (!t) {
                    error = QStringLiteral("--at: \"%1\" is not a time").arg(part);
                    return std::nullopt;
                }
                r.AtUs.push_back(*t);
            }
            ++ways;
        } else if (arg == QLatin1String("--every")) {
            if (!TakeValue(args, i, value, error))
                return std::nullopt;
            const std::optional<int64_t> t = ParseSplitTime(value);
            if (!t || *t <= 0) {
                error = QStringLiteral("--every: \"%1\" is not a length above 0").arg(value);
                return std::nullopt;
            }
            r.EveryUs = *t;
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
