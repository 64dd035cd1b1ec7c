#include "cli/CliCommands.h"

#include "app/CutJob.h"
#include "app/CutRules.h"
#include "app/SourceSteps.h"
#include "app/TimeTexts.h"
#include "app/VelLog.h"
#include "cli/CliProgress.h"
#include "media/MyUtils.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"
#include "media/play/TFFPlayer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <unistd.h>

namespace {

// The number of the first stop signal received; 0 = none.
volatile std::sig_atomic_t InterruptRequested = 0;

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnInterrupt(int signal) {
    if (InterruptRequested == 0)
        InterruptRequested = signal;
}

// The shell's status for a program ended by the signal that stopped us.
int InterruptedStatus() {
    return InterruptRequested > 0 ? 128 + int(InterruptRequested) : ExitInterrupted;
}

// Calls stop once, on the main thread, after a stop signal: the handler only sets the flag, and
// the event loop looks at it.
class TInterruptWatch {
public:
    explicit TInterruptWatch(std::function<void()> stop) {
        QObject::connect(&FPoll, &QTimer::timeout, [this, stop = std::move(stop)] {
            if (InterruptRequested && !FInterrupted) {
                FInterrupted = true;
                stop();
            }
        });
        FPoll.start(50);
    }
    bool Interrupted() const { return FInterrupted; }

private:
    QTimer FPoll;
    bool FInterrupted = false;
};

void PrintError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

QString ProgramFolder() {
    return IncludeTrailingBackslashW(QCoreApplication::applicationDirPath());
}

// Opens the source in the probe as the window does when a file is chosen. False after printing
// the failure (OpenSource has logged it).
bool OpenSource(TFFDecoder& probe, const QString& fileName, TSourceInfo& info) {
    QString message;
    if (::OpenSource(probe, fileName, ProgramFolder(), info, message))
        return true;
    PrintError(message);
    return false;
}

// The output as the user named it: a folder gets the default name inside it, and the name goes
// through the same rule as the window's folder and name fields (".mp3" added when missing).
QString ResolveOutput(const QString& source, const QString& given) {
    if (given.isEmpty())
        return MakeOutputPath(DefaultOutputFolder(source), DefaultOutputName(source));
    const QString path = ExpandFileNameW(given);
    if (QFileInfo(path).isDir())
        return MakeOutputPath(path, DefaultOutputName(source));
    return MakeOutputPath(ExtractFilePathW(path), ExtractFileNameW(path));
}

} // namespace

void InstallInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    // The next signal of the same kind is the user (or the session) insisting: the default
    // action ends the process.
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : StopSignals)
        sigaddset(&action.sa_mask, signal);
    for (const int signal : StopSignals)
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A blocked signal mask survives exec: a parent that started us with SIGINT blocked would
    // otherwise leave Ctrl-C pending for ever.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    for (const int signal : StopSignals)
        sigaddset(&interrupt, signal);
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
}

int StopSignal() {
    return int(InterruptRequested);
}

int RunInfo(const TCliRequest& request) {
    TFFDecoder probe;
    TSourceInfo info;
    if (!OpenSource(probe, ExpandFileNameW(request.Source), info))
        return ExitFailed;
    for (const QString& line : InformationLines(info))
        std::printf("%s\n", qPrintable(line));
    return ExitOk;
}

int RunCut(const TCliRequest& request) {
    const QString source = ExpandFileNameW(request.Source);
    TFFDecoder probe;
    TSourceInfo info;
    if (!OpenSource(probe, source, info))
        return ExitFailed;

    // The range as the trackbar would hold it: whole seconds inside the whole-second length.
    const int64_t seconds = TrackbarSeconds(info.Duration);
    const int64_t start = std::clamp<int64_t>(request.StartSeconds, 0, seconds);
    const int64_t end = std::clamp<int64_t>(request.EndSeconds, start, seconds);
    if (const QString empty = EmptyRangeMessage(start, end, seconds); !empty.isEmpty()) {
        PrintError(empty);
        return ExitFailed;
    }

    const QString output = ResolveOutput(source, request.Output);
    if (IsSameFile(source, output)) {
        PrintError(QStringLiteral("The output file is the source file itself: %1").arg(output));
        return ExitFailed;
    }
    if (QFileInfo::exists(output) && !request.Force) {
        PrintError(
            QStringLiteral("The output file exists: %1\nUse --force to replace it.").arg(output));
        return ExitFailed;
    }
    if (InterruptRequested)
        return InterruptedStatus();

    TFFEncoder encoder;
    TCutJob job(encoder);
    TCliProgress progress(stderr, ::isatty(STDERR_FILENO) == 1);
    TCutOutcome outcome;
    QEventLoop loop;
    job.OnPercent = [&progress](int percent) { progress.Update(percent); };
    job.OnEnded = [&](const TCutOutcome& o) {
        outcome = o;
        loop.quit();
    };

    TCutParams params;
    params.Source = source;
    params.Output = output;
    params.StartSeconds = start;
    params.EndSeconds = end;
    params.Volume = VolumeValue(request.Volume);
    params.BitRate = std::max(0, int(info.BitRate));
    params.LibraryFolder = ProgramFolder();
    params.Replace = request.Force;
    QString message;
    if (!job.Start(params, message)) {
        PrintError(message);
        return ExitFailed;
    }

    {
        TInterruptWatch watch([&] { job.Stop(false); });
        loop.exec();
    }
    progress.Finish();

    switch (outcome.Kind) {
    case TCutOutcome::ckCompleted:
        std::printf("Completed to cut mp3 file.\nOutput: %s\n", qPrintable(output));
        return ExitOk;
    case TCutOutcome::ckStopped:
        PrintError(QStringLiteral("Stopped; %1 holds the part cut so far.").arg(output));
        return InterruptedStatus();
    case TCutOutcome::ckFailed:
        break;
    }
    PrintError(QStringLiteral("Failed to cut file.\nError Message: ") + outcome.ErrorText);
    return ExitFailed;
}

int RunPlay(const TCliRequest& request) {
    const QString source = ExpandFileNameW(request.Source);
    TFFPlayer player;
    if (!player.LibrariesLoaded() && !player.LoadLibraries(ProgramFolder())) {
        PrintError(player.LastErrorText());
        AppLog().LogError(QStringLiteral("Failed to load audio library, error message: ") +
                          player.LastErrorText());
        return ExitFailed;
    }
    if (InterruptRequested)
        return ExitInterrupted;

    player.DisableDisplay = true;
    // The window's preview volume: slider position × 128 div 100.
    player.SetAudioVolume(PreviewVolumeValue(request.Volume));
    if (request.HasStart)
        player.StartTime = SecondsToMicroseconds(request.StartSeconds);
    if (request.HasEnd)
        player.PlayDuration = SecondsToMicroseconds(request.EndSeconds -
                                                    (request.HasStart ? request.StartSeconds : 0));

    const bool interactive = ::isatty(STDOUT_FILENO) == 1;
    int64_t endUs = request.HasEnd ? SecondsToMicroseconds(request.EndSeconds) : -1;
    QString lastLine;
    QEventLoop loop;
    bool ended = false;
    player.SetOnFileOpen([&](QObject*, int64_t duration, int, int, int&, int&) {
        if (endUs < 0 || (duration > 0 && duration < endUs))
            endUs = duration;
    });
    // Without a terminal nobody reads the position: no handler, so no event is even posted.
    if (interactive)
        player.SetOnPosition([&](QObject*, int64_t pts) {
            const QString line = FormatDuration(std::max<int64_t>(0, pts)) + QStringLiteral(" / ") +
                                 (endUs >= 0 ? FormatDuration(endUs) : QStringLiteral("--:--:--"));
            if (line != lastLine) {
                std::printf("\r%s", qPrintable(line));
                std::fflush(stdout);
                lastLine = line;
            }
        });
    player.SetOnState([&](QObject*, TPlayState state) {
        if (state == psEnd)
            player.Stop(false); // the file has been played to its end
        else if (state == psStop) {
            ended = true;
            loop.quit();
        }
    });
    if (!player.OpenMedia(source, nullptr, false)) {
        PrintError(player.LastErrorText());
        AppLog().LogError(QStringLiteral("Failed to play file, error message: ") +
                          player.LastErrorText());
        return ExitFailed;
    }

    bool interrupted;
    {
        TInterruptWatch watch([&] { player.Stop(false); });
        if (!ended)
            loop.exec();
        interrupted = watch.Interrupted();
    }
    player.SetOnPosition(nullptr);
    player.SetOnState(nullptr);
    player.Stop(true);
    if (interactive && !lastLine.isEmpty())
        std::printf("\n");
    return interrupted ? ExitInterrupted : ExitOk;
}
