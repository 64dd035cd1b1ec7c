#include "cli/CliOptions.h"

#include <QRegularExpression>

std::optional<int64_t> ParseTimeText(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(?:(?:(\\d+):)?(\\d+):)?(\\d+)$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const bool hasHours = m.capturedLength(1) > 0;
    const bool hasMinutes = m.capturedLength(2) > 0;
    // Ten digits at most per field keeps every product far inside 64 bits; the first field may
    // be large ("90:00" is ninety minutes, "5400" the same), the ones after it count up to 59.
    for (int i = 1; i <= 3; ++i)
        if (m.capturedLength(i) > 10)
            return std::nullopt;
    const int64_t h = hasHours ? m.captured(1).toLongLong() : 0;
    const int64_t mm = hasMinutes ? m.captured(2).toLongLong() : 0;
    const int64_t s = m.captured(3).toLongLong();
    if (hasMinutes && s >= 60)
        return std::nullopt;
    if (hasHours && mm >= 60)
        return std::nullopt;
    return (h * 60 + mm) * 60 + s;
}

QString UsageText() {
    return QStringLiteral(
        "Usage:\n"
        "  snipwave-cli info FILE\n"
        "  snipwave-cli cut FILE --start T --end T [--output PATH] [--volume 0-100] [--force]\n"
        "                   [--no-tags] [--fade SECONDS] [--smart]\n"
        "  snipwave-cli play FILE [--start T] [--end T] [--volume 0-100]\n"
        "  snipwave-cli --help | --version\n"
        "\n"
        "info   prints the file's type, tags, size, duration and bit rate.\n"
        "cut    writes the range from --start to --end of FILE as a new MP3 with a three-second\n"
        "       fade-in and fade-out. T is whole seconds or [hh:]mm:ss. An --end at or past\n"
        "       the end of the audio cuts to its real end, fraction of a second included (a\n"
        "       notice says so). The output defaults to NAME_new.mp3 beside FILE; \".mp3\" is\n"
        "       added to a name without it. An existing output is replaced only with --force,\n"
        "       and only when the cut succeeds. --volume sets the level in percent (default\n"
        "       100). Ctrl-C (or SIGTERM, SIGHUP) stops the cut and keeps what was written so\n"
        "       far. The output keeps FILE's tags and cover picture; --no-tags writes none.\n"
        "       --fade sets the length of each fade in seconds (default 3; 0 for none).\n"
        "       --smart copies the MP3 frames of the range instead of re-encoding them, exact\n"
        "       to the sample and losslessly but for the fades, which alone are re-encoded;\n"
        "       it applies at volume 100 to layer III sources, and otherwise the cut\n"
        "       re-encodes with a notice saying why.\n"
        "play   plays the range from --start (default: the beginning) to --end (default: the\n"
        "       end) of FILE, showing position / end on a terminal. Ctrl-C stops it.\n"
        "\n"
        "Exit status: 0 done, 1 failed, 2 wrong usage, 130 stopped by Ctrl-C (143 SIGTERM,\n"
        "129 SIGHUP).\n"
        "The log of a run (what was opened and cut, what failed) goes to\n"
        "$XDG_STATE_HOME/snipwave/Log (~/.local/state/snipwave/Log), log1.txt the latest run\n"
        "that logged anything, up to log10.txt.\n");
}

namespace {

bool TakeValue(const QStringList& args, int& i, const QString& name, QString& value,
               QString& error) {
    if (i + 1 >= args.size()) {
        error = QStringLiteral("%1 needs a value").arg(name);
        return false;
    }
    value = args[++i];
    return true;
}

} // namespace

std::optional<TCliRequest> ParseCommandLine(const QStringList& args, QString& error) {
    TCliRequest request;
    if (args.isEmpty()) {
        error = QStringLiteral("a command is missing");
        return std::nullopt;
    }
    const QString command = args[0];
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        request.Command = TCliCommand::Help;
        return request;
    }
    if (command == QLatin1String("--version")) {
        request.Command = TCliCommand::Version;
        return request;
    }
    if (command == QLatin1String("info"))
        request.Command = TCliCommand::Info;
    else if (command == QLatin1String("cut"))
        request.Command = TCliCommand::Cut;
    else if (command == QLatin1String("play"))
        request.Command = TCliCommand::Play;
    else {
        error = QStringLiteral("unknown command: %1").arg(command);
        return std::nullopt;
    }

    bool haveStart = false, haveEnd = false, haveSource = false, optionsEnded = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.Command = TCliCommand::Help;
            return request;
        }
        // "-o" is a mistyped option, not a file: a name that starts with "-" follows "--" or
        // is written "./-name". A lone "-" is no option.
        const bool isOption = !optionsEnded && arg.size() > 1 && arg.startsWith(QLatin1Char('-'));
        if (isOption && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const bool ranged =
            request.Command == TCliCommand::Cut || request.Command == TCliCommand::Play;
        if (isOption && ranged) {
            QString value;
            if (arg == QLatin1String("--start") || arg == QLatin1String("--end")) {
                if (!TakeValue(args, i, arg, value, error))
                    return std::nullopt;
                const std::optional<int64_t> seconds = ParseTimeText(value);
                if (!seconds) {
                    error = QStringLiteral("%1: \"%2\" is not a time (whole seconds or "
                                           "[hh:]mm:ss)")
                                .arg(arg, value);
                    return std::nullopt;
                }
                if (arg == QLatin1String("--start")) {
                    request.StartSeconds = *seconds;
                    request.StartText = value;
                    haveStart = true;
                } else {
                    request.EndSeconds = *seconds;
                    request.EndText = value;
                    haveEnd = true;
                }
                continue;
            }
            if (request.Command == TCliCommand::Play &&
                (arg == QLatin1String("--output") || arg == QLatin1String("--force"))) {
                error = QStringLiteral("unknown option: %1").arg(arg);
                return std::nullopt;
            }
            if (arg == QLatin1String("--output")) {
                if (!TakeValue(args, i, arg, request.Output, error))
                    return std::nullopt;
                if (request.Output.isEmpty()) {
                    error = QStringLiteral("--output: the name is empty");
                    return std::nullopt;
                }
                continue;
            }
            if (arg == QLatin1String("--volume")) {
                if (!TakeValue(args, i, arg, value, error))
                    return std::nullopt;
                bool ok = false;
                const int volume = value.toInt(&ok);
                if (!ok || volume < 0 || volume > 100) {
                    error = QStringLiteral("--volume: \"%1\" is not a whole number from 0 to "
                                           "100")
                                .arg(value);
                    return std::nullopt;
                }
                request.Volume = volume;
                continue;
            }
            if (arg == QLatin1String("--force")) {
                request.Force = true;
                continue;
            }
            if (arg == QLatin1String("--no-tags") && request.Command == TCliCommand::Cut) {
                request.KeepTags = false;
                continue;
            }
            if (arg == QLatin1String("--smart") && request.Command == TCliCommand::Cut) {
                request.Smart = true;
                continue;
            }
            if (arg == QLatin1String("--fade") && request.Command == TCliCommand::Cut) {
                if (!TakeValue(args, i, arg, value, error))
                    return std::nullopt;
                // Seconds with up to six decimals, as split's --fade takes them; an hour at most.
                static const QRegularExpression seconds(QStringLiteral("^(\\d{1,4})(?:\\.(\\d{1,6}))?$"));
                const QRegularExpressionMatch m = seconds.match(value);
                std::optional<int64_t> fade;
                if (m.hasMatch())
                    fade = m.captured(1).toLongLong() * 1000000 +
                           (m.capturedLength(2) > 0
                                ? m.captured(2).leftJustified(6, QLatin1Char('0')).toLongLong()
                                : 0);
                if (!fade || *fade > 3600 * int64_t(1000000)) {
                    error = QStringLiteral("--fade: \"%1\" is not a number of seconds").arg(value);
                    return std::nullopt;
                }
                request.FadeUs = *fade;
                continue;
            }
        }
        if (isOption) {
            error = QStringLiteral("unknown option: %1").arg(arg);
            return std::nullopt;
        }
        if (haveSource) {
            error = QStringLiteral("only one FILE may be given (extra: %1)").arg(arg);
            return std::nullopt;
        }
        request.Source = arg;
        haveSource = true;
    }
    if (!haveSource || request.Source.isEmpty()) {
        error = QStringLiteral("FILE is missing");
        return std::nullopt;
    }
    request.HasStart = haveStart;
    request.HasEnd = haveEnd;
    if (request.Command == TCliCommand::Play && haveStart && haveEnd &&
        request.StartSeconds >= request.EndSeconds) {
        error = QStringLiteral("--start is not before --end");
        return std::nullopt;
    }
    if (request.Command == TCliCommand::Play && !haveStart && haveEnd && request.EndSeconds <= 0) {
        error = QStringLiteral("--end is not after the start of the file");
        return std::nullopt;
    }
    if (request.Command == TCliCommand::Cut) {
        if (!haveStart || !haveEnd) {
            error = QStringLiteral("cut needs --start and --end");
            return std::nullopt;
        }
        if (request.StartSeconds > request.EndSeconds) {
            error = QStringLiteral("--start is after --end");
            return std::nullopt;
        }
    }
    return request;
}
