#include "cli/CliCommands.h"

#include "cli/CliOutput.h"
#include "cli/CliProgress.h"
#include "cli/CliRange.h"
#include "job/CutJob.h"
#include "job/CutRules.h"
#include "job/SourceSteps.h"
#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/FileNameBytes.h"
#include "media/MyUtils.h"
#include "media/decode/AudioExtent.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"
#include "media/play/TFFPlayer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The number of the first stop signal received; 0 = none.
volatile std::sig_atomic_t InterruptRequested = 0;

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler, read by the watch: the event loop sleeps until a signal comes instead
// of looking at the flag on a timer, which over a long play costs more than the playing.
int InterruptPipe[2] = {-1, -1};

void OnInterrupt(int signal) {
    if (InterruptRequested == 0)
        InterruptRequested = signal;
    if (InterruptPipe[1] >= 0) {
        const int savedErrno = errno; // the interrupted code may be about to read it
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(InterruptPipe[1], &byte, 1);
        errno = savedErrno;
    }
}

// The shell's status for a program ended by the signal that stopped us.
int InterruptedStatus() {
    return InterruptRequested > 0 ? 128 + int(InterruptRequested) : ExitInterrupted;
}

void PrintError(const QString& text) {
    WriteLine(stderr, text);
}

// stat() by the name's own bytes; false when it cannot be examined.
bool StatName(const QString& name, struct stat& st) {
    return ::stat(EncodeFileName(name).constData(), &st) == 0;
}

// The system's reason, with the name, when the source's name cannot be examined (a loop of
// links, a file where a folder should be) or the file cannot be read: the library would report
// these as bare error numbers. A missing file and one that is no regular file are left to the
// probe, whose messages already say so. False after printing and logging the failure.
bool ExamineSource(const QString& source) {
    const QByteArray path = EncodeFileName(source);
    struct stat st {};
    int error = 0;
    if (::stat(path.constData(), &st) != 0) {
        error = errno == ENOENT ? 0 : errno;
    } else if (S_ISREG(st.st_mode)) {
        // Opening a regular file never blocks; some refuse even root (files under /proc).
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            error = errno;
        else
            ::close(fd);
    }
    if (error == 0)
        return true;
    const QString message = QStringLiteral("Failed to load file, error message: %1: %2")
                                .arg(source, QString::fromLocal8Bit(std::strerror(error)));
    PrintError(message);
    AppLog().LogError(message);
    return false;
}

QString ProgramFolder() {
    return IncludeTrailingBackslashW(QCoreApplication::applicationDirPath());
}

// Opens the source in the probe as the window does when a file is chosen. False after printing
// the failure (OpenSource has logged it).
bool OpenSource(TFFDecoder& probe, const QString& fileName, TSourceInfo& info) {
    if (!ExamineSource(fileName))
        return false;
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
    struct stat st {};
    if (StatName(path, st) && S_ISDIR(st.st_mode))
        return MakeOutputPath(path, DefaultOutputName(source));
    return MakeOutputPath(ExtractFilePathW(path), ExtractFileNameW(path));
}

} // namespace

void InstallInterruptHandler() {
    if (InterruptPipe[0] < 0 && ::pipe2(InterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        InterruptPipe[0] = InterruptPipe[1] = -1;
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

TInterruptWatch::TInterruptWatch(std::function<void()> stop) : FStop(std::move(stop)) {
    if (InterruptPipe[0] >= 0) {
        FNotifier = std::make_unique<QSocketNotifier>(InterruptPipe[0], QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
            char buffer[16];
            while (::read(InterruptPipe[0], buffer, sizeof buffer) > 0) {
            }
            Check();
        });
    }
    Check(); // a signal that came before the watch
}

TInterruptWatch::~TInterruptWatch() = default;

void TInterruptWatch::Check() {
    if (InterruptRequested && !FInterrupted) {
        FInterrupted = true;
        FStop();
    }
}

int StopSignalReceived() {
    return int(InterruptRequested);
}

int InterruptedExitStatus() {
    return InterruptedStatus();
}

int RunInfo(const TCliRequest& request) {
    TFFDecoder probe;
    TSourceInfo info;
    if (!OpenSource(probe, ExpandFileNameW(request.Source), info))
        return ExitFailed;
    for (const QString& line : InformationLines(info))
        WriteLine(stdout, line);
    if (!ScanAudioExtent(info.FileName, 0).HasAudio)
        PrintError(QStringLiteral("Notice: %1 holds no decodable audio.").arg(info.FileName));
    return ExitOk;
}

int RunCut(const TCliRequest& request) {
    const QString source = ExpandFileNameW(request.Source);
    TFFDecoder probe;
    TSourceInfo info;
    if (!OpenSource(probe, source, info))
        return ExitFailed;

    // Unlike the window's whole-second trackbar, the range may end at the audio's real end:
    // the packets up to the asked end show where that is.
    const int64_t limit = ScanLimit(request, info.Duration, info.FileSize, info.BitRate);
    const TCliRange range =
        ResolveCutRange(request, source, info.Duration, ScanAudioExtent(source, limit));
    if (!range.Refusal.isEmpty()) {
        PrintError(range.Refusal);
        AppLog().LogError(range.Refusal);
        return ExitFailed;
    }

    const QString output = ResolveOutput(source, request.Output);
    if (IsSameFile(source, output)) {
        PrintError(QStringLiteral("The output file is the source file itself: %1").arg(output));
        return ExitFailed;
    }
    struct stat existing {};
    if (StatName(output, existing) && !request.Force) {
        PrintError(
            QStringLiteral("The output file exists: %1\nUse --force to replace it.").arg(output));
        return ExitFailed;
    }
    if (InterruptRequested)
        return InterruptedStatus();
    for (const QString& notice : range.Notices) {
        PrintError(notice);
        AppLog().LogInfo(notice);
    }

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
    params.StartSeconds = MicrosecondsToSeconds(range.StartUs);
    params.EndSeconds = MicrosecondsToSeconds(range.EndUs);
    params.EndUs = range.EndUs;
    params.Volume = VolumeValue(request.Volume);
    params.BitRate = std::max(0, int(info.BitRate));
    params.LibraryFolder = ProgramFolder();
    params.Replace = request.Force;
    params.KeepTags = request.KeepTags;
    params.FadeUs = request.FadeUs;
    params.Smart = request.Smart;
    job.OnNotice = [](const QString& notice) { PrintError(notice); };
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
        WriteLine(stdout, QStringLiteral("Completed to cut mp3 file.\nOutput: ") + output);
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
    if (!ExamineSource(source))
        return ExitFailed;
    TFFPlayer player;
    if (!player.LibrariesLoaded() && !player.LoadLibraries(ProgramFolder())) {
        PrintError(player.LastErrorText());
        AppLog().LogError(QStringLiteral("Failed to load audio library, error message: ") +
                          player.LastErrorText());
        return ExitFailed;
    }

    if (InterruptRequested)
        return ExitInterrupted;
    // The rules of cut: a start at or past the end of the audio plays nothing. Only the packets
    // up to the start are read.
    if (request.HasStart) {
        const int64_t startUs = SecondsToMicroseconds(request.StartSeconds);
        const TAudioExtent extent = ScanAudioExtent(source, startUs);
        if (!extent.HasAudio) {
            PrintError(QStringLiteral("Nothing to play: %1 holds no decodable audio.").arg(source));
            return ExitFailed;
        }
        if (extent.ReachedEnd && startUs >= extent.EndUs) {
            PrintError(QStringLiteral("Nothing to play: the start %1 is at or past the end of the "
                                      "audio, %2.")
                           .arg(request.StartText, FormatExactTime(extent.EndUs)));
            return ExitUsage;
        }
    }

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
    if (interrupted)
        return ExitInterrupted;
    if (player.PlayedNothing()) {
        const QString message =
            QStringLiteral("Failed to play file: nothing in %1 could be decoded.").arg(source);
        PrintError(message);
        AppLog().LogError(message);
        return ExitFailed;
    }
    return ExitOk;
}
