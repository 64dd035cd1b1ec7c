// The split's run: every piece is one task of a single encoder, started together on as many
// workers as asked. The main thread plans, checks, starts and then only collects events: the
// progress of each task (delivered on the main thread) and their ends (carried over to it), and
// it writes each piece's log block when that piece has ended so that blocks never interleave.

#include "cli/CliSplit.h"

#include "cli/CliCommands.h"
#include "cli/CliProgress.h"
#include "job/CutJob.h"
#include "job/CutRules.h"
#include "job/SourceSteps.h"
#include "job/SplitPlan.h"
#include "job/TCueSheet.h"
#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/MyUtils.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"
#include "media/mp3/FFSharedFrameIndex.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

void PrintError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Seconds with milliseconds, as split times may have them ("00:01:30.250").
QString TimeText(int64_t us) {
    const QString whole = FormatDuration(us);
    const int64_t ms = us % 1000000 / 1000;
    return ms ? whole + QString::asprintf(".%03lld", (long long)ms) : whole;
}

// What stands at a path before the run, to tell afterwards whether a file there is ours.
struct TFileMark {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
};

TFileMark MarkOf(const QString& path) {
    TFileMark mark;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        mark.Exists = true;
        mark.Device = st.st_dev;
        mark.Inode = st.st_ino;
    }
    return mark;
}

struct TPieceRun {
    TSplitPiece Piece;
    QString Output;
    TFileMark Before;
    int64_t Done = 0; // µs of the piece written so far
    bool Ended = false;
    TCutOutcome Outcome;
};

} // namespace

int RunSplit(const TSplitRequest& request) {
    const QString programFolder = IncludeTrailingBackslashW(QCoreApplication::applicationDirPath());

    // The sheet first: it may name the source.
    TCueSheet sheet;
    QString source = request.Source;
    if (!request.CueSheet.isEmpty()) {
        const QString sheetName = ExpandFileNameW(request.CueSheet);
        QString error;
        if (!sheet.Load(sheetName, error)) {
            PrintError(error);
            return ExitFailed;
        }
        if (source.isEmpty()) {
            if (sheet.File.isEmpty()) {
                PrintError(QStringLiteral("FILE is missing and the cue sheet names none"));
                return ExitFailed;
            }
            source = QFileInfo(sheet.File).isAbsolute()
                         ? sheet.File
                         : QFileInfo(sheetName).absolutePath() + QLatin1Char('/') + sheet.File;
        }
    }
    source = ExpandFileNameW(source);

    TFFDecoder probe;
    TSourceInfo info;
    QString message;
    if (!OpenSource(probe, source, programFolder, info, message)) {
        PrintError(message);
        return ExitFailed;
    }

    std::vector<TSplitPiece> pieces;
    const QString refused = !request.CueSheet.isEmpty() ? PlanCueSheet(sheet, info.Duration, pieces)
                            : request.EveryUs > 0
                                ? PlanEvery(request.EveryUs, info.Duration, pieces)
                                : PlanAtPoints(request.AtUs, info.Duration, pieces);
    if (!refused.isEmpty()) {
        PrintError(QStringLiteral("Nothing was written: ") + refused);
        return ExitFailed;
    }

    // Every name is settled and checked before the first piece is started.
    const QString folder = request.OutputDir.isEmpty() ? DefaultOutputFolder(source)
                                                       : ExpandFileNameW(request.OutputDir);
    const QString baseName = QFileInfo(source).completeBaseName();
    std::vector<TPieceRun> runs;
    QSet<QString> names;
    for (const TSplitPiece& piece : pieces) {
        TPieceRun run;
        run.Piece = piece;
        run.Output =
            MakeOutputPath(folder, PieceFileName(request.NamePattern, piece, int(pieces.size()),
                                                 baseName, info.Title, info.Artist));
        if (names.contains(run.Output)) {
            PrintError(QStringLiteral("Nothing was written: two pieces would both be named %1; "
                                      "put {n} in --name")
                           .arg(run.Output));
            return ExitFailed;
        }
        names.insert(run.Output);
        if (IsSameFile(source, run.Output)) {
            PrintError(QStringLiteral("Nothing was written: piece %1 would be the source file "
                                      "itself: %2")
                           .arg(piece.Number)
                           .arg(run.Output));
            return ExitFailed;
        }
        if (QFileInfo::exists(run.Output) && !request.Force) {
            PrintError(QStringLiteral("Nothing was written: %1 exists.\nUse --force to replace "
                                      "it.")
                           .arg(run.Output));
            return ExitFailed;
        }
        run.Before = MarkOf(run.Output);
        runs.push_back(run);
    }
    if (StopSignalReceived())
        return InterruptedExitStatus();
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder)) {
        PrintError(QStringLiteral("Cannot make the folder %1").arg(folder));
        return ExitFailed;
    }

    TFFEncoder encoder;
    if (!encoder.LibrariesLoaded() && !encoder.LoadLibraries(programFolder)) {
        PrintError(encoder.LastErrorText());
        AppLog().LogError(QStringLiteral("Failed to load audio library, error message: ") +
                          encoder.LastErrorText());
        return ExitFailed;
    }

    // The fade ranges by task, fixed before the workers start and only read by them.
    std::vector<std::pair<int64_t, int64_t>> fades;
    const auto shared = std::make_shared<TSharedFrameIndex>();
    for (size_t i = 0; i < runs.size(); ++i) {
        const TSplitPiece& piece = runs[i].Piece;
        TInputOptions input;
        InitInputOptions(input);
        input.FrameIndex = shared;
        if (encoder.AddTask(source, &input) != int(i)) {
            PrintError(QStringLiteral("Failed to process file, please try again.\n") +
                       encoder.LastErrorText());
            return ExitFailed;
        }
        // No volume change: with no fade the pieces are the source's samples again.
        TOutputOptions output =
            MakeCutOutputOptions(piece.StartUs, piece.EndUs, -1, std::max(0, info.BitRate));
        output.AudioHook = request.FadeUs > 0;
        // The last piece asks for the length the header promises; it ends at the last sample
        // the source really holds, and a source that holds far less fails it.
        output.RequireDuration = true;
        output.NoReplace = !request.Force;
        if (request.KeepTags) {
            int audio, cover;
            FindAudioAndCover(encoder, int(i), audio, cover);
            KeepSourceTags(output, audio, cover);
            output.Info.Track = piece.Number;
            output.Info.Title = piece.Title.toStdString();
            output.Info.Author = piece.Artist.toStdString();
            if (!request.CueSheet.isEmpty())
                output.Info.Album = sheet.Title.toStdString();
        }
        if (!encoder.SetOutputFile(int(i), runs[i].Output, &output)) {
            PrintError(QStringLiteral("Nothing was written: piece %1 (%2): %3")
                           .arg(piece.Number)
                           .arg(runs[i].Output, encoder.LastErrorText()));
            return ExitFailed;
        }
        fades.emplace_back(piece.StartUs, piece.EndUs);
    }

    const int64_t fadeUs = request.FadeUs;
    if (fadeUs > 0)
        encoder.SetOnAudioHook([&fades, fadeUs](QObject*, int task, int64_t pts, void* samples,
                                                int size, int rate, int channels, int format) {
            if (task >= 0 && size_t(task) < fades.size())
                ApplyFade(pts, samples, size, rate, channels, format, fades[size_t(task)].first,
                          fades[size_t(task)].second, fadeUs);
        });

    int64_t total = 0;
    for (const TPieceRun& run : runs)
        total += run.Piece.EndUs - run.Piece.StartUs;
    TCliProgress progress(stderr, ::isatty(STDERR_FILENO) == 1);
    auto showProgress = [&] {
        int64_t done = 0;
        for (const TPieceRun& run : runs)
            done += run.Done;
        progress.Update(total > 0 ? int(std::min<int64_t>(100, done * 100 / total)) : 0);
    };
    encoder.SetOnProgress([&](QObject*, const TProgressInfo* p) {
        if (p->TaskIndex >= 0 && size_t(p->TaskIndex) < runs.size()) {
            TPieceRun& run = runs[size_t(p->TaskIndex)];
            run.Done = std::min(p->CurrentDuration, run.Piece.EndUs - run.Piece.StartUs);
            showProgress();
        }
    });

    QEventLoop loop;
    bool runEnded = false;
    auto alive = std::make_shared<int>(0);
    const std::weak_ptr<int> token = alive;
    encoder.SetOnTerminate([&, token](QObject*, const TTerminateInfo& info) {
        const TTerminateInfo copy = info;
        CallInMainThread([&, copy, token] {
            if (token.expired())
                return;
            if (copy.TaskIndex < 0) {
                runEnded = true;
                loop.quit();
                return;
            }
            if (size_t(copy.TaskIndex) >= runs.size())
                return;
            TPieceRun& run = runs[size_t(copy.TaskIndex)];
            run.Ended = true;
            run.Outcome.Kind = copy.Finished ? TCutOutcome::ckCompleted
                               : copy.Failed ? TCutOutcome::ckFailed
                                             : TCutOutcome::ckStopped;
            run.Outcome.ErrorText = QString::fromLocal8Bit(copy.ErrorText);
            if (copy.Finished)
                run.Done = run.Piece.EndUs - run.Piece.StartUs;
            showProgress();
            LogCutParameters(TimeText(run.Piece.StartUs), TimeText(run.Piece.EndUs), run.Output,
                             FullGain);
            LogCutOutcome(run.Outcome);
        });
    });

    const int jobs =
        request.Jobs > 0 ? request.Jobs : int(std::max(1u, std::thread::hardware_concurrency()));
    encoder.StartTask(jobs);
    bool interrupted = false;
    {
        TInterruptWatch watch([&] { encoder.StopTasks(false); });
        if (!runEnded)
            loop.exec();
        interrupted = watch.Interrupted();
    }
    alive.reset();
    encoder.SetOnTerminate(nullptr);
    encoder.SetOnProgress(nullptr);
    encoder.SetOnAudioHook(nullptr);
    progress.Finish();

    int failed = 0, stopped = 0;
    for (TPieceRun& run : runs) {
        switch (run.Outcome.Kind) {
        case TCutOutcome::ckCompleted:
            std::printf("%s\n", qPrintable(run.Output));
            break;
        case TCutOutcome::ckFailed:
            ++failed;
            PrintError(QStringLiteral("Piece %1 (%2) failed: %3")
                           .arg(run.Piece.Number)
                           .arg(run.Output, run.Outcome.ErrorText));
            break;
        case TCutOutcome::ckStopped: {
            ++stopped;
            // A stopped piece would look whole under its name: what the run put there goes.
            const TFileMark now = MarkOf(run.Output);
            if (now.Exists && (!run.Before.Exists || now.Device != run.Before.Device ||
                               now.Inode != run.Before.Inode))
                QFile::remove(run.Output);
            break;
        }
        }
    }
    if (interrupted || stopped > 0) {
        PrintError(QStringLiteral("Stopped; %1 of %2 pieces were finished and kept.")
                       .arg(int(runs.size()) - failed - stopped)
                       .arg(runs.size()));
        return InterruptedExitStatus();
    }
    if (failed > 0) {
        PrintError(QStringLiteral("%1 of %2 pieces failed.").arg(failed).arg(runs.size()));
        return ExitFailed;
    }
    std::printf("Completed to split mp3 file into %zu pieces.\n", runs.size());
    return ExitOk;
}
