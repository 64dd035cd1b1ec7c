// snipwave-cli: look at an MP3 and cut a range of it, without the window, through the same
// components, option records, fades and log lines the window uses.
#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/CliSplit.h"
#include "cli/CliTranscode.h"
#include "job/VelLog.h"
#include "media/FileNameBytes.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
constexpr const char* ProgramVersion = "1.2.0";
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // From argv itself: Qt's copy loses the bytes of a file name that is not UTF-8.
    QStringList arguments = ProgramArguments(argc, argv);
    arguments.removeFirst();
    // The window's log lives beside the program; the command line's in the user's state folder,
    // begun only when a run writes a line, so that a run that logs nothing leaves nothing.
    StartCommandLineLog();
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("transcode")) {
        InstallInterruptHandler();
        const int status = RunTranscode(arguments.mid(1));
        StopAppLog();
        return status;
    }

    QString error;
    if (!arguments.isEmpty() && arguments[0] == QLatin1String("split")) {
        const QStringList rest = arguments.mid(1);
        if (rest.contains(QLatin1String("--help")) || rest.contains(QLatin1String("-h"))) {
            std::fputs(qPrintable(UsageText() + QLatin1Char('\n') + SplitUsageText() +
                                  QLatin1Char('\n') + TranscodeUsageText()),
                       stdout);
            return ExitOk;
        }
        const std::optional<TSplitRequest> split = ParseSplitCommandLine(rest, error);
        if (!split) {
            WriteLine(stderr, QStringLiteral("snipwave-cli: %1\nTry 'snipwave-cli --help' for "
                                             "more information.")
                                  .arg(error));
            return ExitUsage;
        }
        InstallInterruptHandler();
        const int status = RunSplit(*split);
        StopAppLog();
        return status;
    }
    const std::optional<TCliRequest> request = ParseCommandLine(arguments, error);
    if (!request) {
        WriteLine(stderr, QStringLiteral("snipwave-cli: %1\nTry 'snipwave-cli --help' for more "
                                         "information.")
                              .arg(error));
        return ExitUsage;
    }
    switch (request->Command) {
    case TCliCommand::Help:
        std::fputs(qPrintable(UsageText() + QLatin1Char('\n') + SplitUsageText() +
                              QLatin1Char('\n') + TranscodeUsageText()),
                   stdout);
        return ExitOk;
    case TCliCommand::Version:
        std::printf("snipwave-cli (Quillon Snipwave) %s\n", ProgramVersion);
        return ExitOk;
    case TCliCommand::Info:
    case TCliCommand::Cut:
    case TCliCommand::Play:
        break;
    }

    InstallInterruptHandler();
    const int status = request->Command == TCliCommand::Info  ? RunInfo(*request)
                       : request->Command == TCliCommand::Cut ? RunCut(*request)
                                                              : RunPlay(*request);
    StopAppLog();
    return status;
}
