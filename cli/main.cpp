// snipwave-cli: look at an MP3 and cut a range of it, without the window, through the same
// components, option records, fades and log lines the window uses.
#include "app/VelLog.h"
#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliTranscode.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
constexpr const char* ProgramVersion = "1.2.0";
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("transcode")) {
        StartAppLog();
        InstallInterruptHandler();
        const int status = RunTranscode(arguments.mid(1));
        StopAppLog();
        return status;
    }

    QString error;
    const std::optional<TCliRequest> request = ParseCommandLine(arguments, error);
    if (!request) {
        std::fprintf(stderr, "snipwave-cli: %s\nTry 'snipwave-cli --help' for more information.\n",
                     qPrintable(error));
        return ExitUsage;
    }
    switch (request->Command) {
    case TCliCommand::Help:
        std::fputs(qPrintable(UsageText()), stdout);
        return ExitOk;
    case TCliCommand::Version:
        std::printf("snipwave-cli (Quillon Snipwave) %s\n", ProgramVersion);
        return ExitOk;
    case TCliCommand::Info:
    case TCliCommand::Cut:
    case TCliCommand::Play:
        break;
    }

    StartAppLog();
    InstallInterruptHandler();
    const int status = request->Command == TCliCommand::Info  ? RunInfo(*request)
                       : request->Command == TCliCommand::Cut ? RunCut(*request)
                                                              : RunPlay(*request);
    StopAppLog();
    return status;
}
