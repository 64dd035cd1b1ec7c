// The split's run: every piece is one encoder of its own, made when one of the --jobs places is
// free and freed when its run has ended. The main thread plans, checks, starts and then only
// collects events: the progress of each piece (delivered on the main thread) and their ends
// (carried over to it), and it writes each piece's log block when that piece has ended so that
// blocks never interleave.

#include "cli/CliSplit.h"

#include "cli/CliCommands.h"
#include "cli/CliProgress.h"
#include "job/CutJob.h"
#include "job/CutRules.h"
#include "job/SmartCut.h"
#include "job/SourceSteps.h"
#include "job/SplitPlan.h"
#include "job/TCueSheet.h"
#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/FFEntryPoints.h"
#include "media/MyUtils.h"
#include "media/decode/AudioExtent.h"
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
#include <limits>
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

// The encoder of one running piece. It exists only while its piece runs: with one per piece
// and no more of them than --jobs, the files open at once stay bounded however many pieces a
// split has. (One encoder with a task per piece opens every task's input when the task is
// added: thousands of pieces ran the process out of file descriptors.)
struct TRunningPiece {
    std::unique_ptr<TFFEncoder> Encoder;
    bool RunEnded = false; // its final report came: it may be freed
};

// The sample rate of the probe's first audio stream; 0 when it has none.
int SourceSampleRate(const TFFDecoder& probe) {
    const AVFormatContext* ic = probe.FormatContext();
    const int stream = probe.FirstAudioStream();
    if (ic == nullptr || stream < 0 || unsigned(stream) >= ic->nb_streams)
        return 0;
    return ic->streams[stream]->codecpar->sample_rate;
}

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

    // The plan is made against where the audio really ends, as its frames show: a header's
    // duration counts the encoder's padding, and a truncated file's header promises audio that
    // is not there. A piece planned beyond the real end would be empty or fail.
    const TAudioExtent extent = ScanAudioExtent(source, std::numeric_limits<int64_t>::max());
    if (!extent.HasAudio) {
        PrintError(QStringLiteral("Nothing was written: %1 holds no decodable audio.").arg(source));
        return ExitFailed;
    }
    TSplitBounds bounds;
    bounds.AudioEndUs = extent.EndUs;
    bounds.MinPieceUs = SplitFrameUs(SourceSampleRate(probe));
    if (request.EveryUs > 0 && request.EveryUs >= extent.EndUs) {
        PrintError(QStringLiteral("Nothing was written: --every %1 is %2 the audio of %3 (%4): "
                                  "there is nothing to split.")
                       .arg(request.EveryText,
                            request.EveryUs > extent.EndUs ? QStringLiteral("longer than")
                                                           : QStringLiteral("as long as"),
                            source, TimeText(extent.EndUs)));
        return ExitFailed;
    }

    std::vector<TSplitPiece> pieces;
    QStringList notices;
    const QString refused =
        !request.CueSheet.isEmpty() ? PlanCueSheet(sheet, bounds, pieces, &notices)
        : request.EveryUs > 0       ? PlanEvery(request.EveryUs, bounds, pieces, &notices)
                                    : PlanAtPoints(request.AtUs, bounds, pieces, &notices);
    if (!refused.isEmpty()) {
        PrintError(QStringLiteral("Nothing was written: ") + refused);
        AppLog().LogError(QStringLiteral("Nothing was written: ") + refused);
        return ExitFailed;
    }

    // Every name is settled and checked before the first piece is started.
    const QString folder = request.OutputDir.isEmpty() ? DefaultOutputFolder(source)
                                                       : ExpandFileNameW(request.OutputDir);
    const QString baseName = QFileInfo(source).completeBaseName();
    std::vector<TPieceRun> runs;
    runs.reserve(pieces.size());
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
        if (QFileInfo(run.Output).isDir()) {
            PrintError(QStringLiteral("Nothing was written: a folder has the name of piece %1: %2")
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
    // One missing level is made, as the window makes its output folder: a mistyped path deeper
    // down is refused rather than built.
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isDir()) {
        if (folderInfo.exists()) {
            PrintError(QStringLiteral("Nothing was written: %1 is not a folder").arg(folder));
            return ExitFailed;
        }
        const QString parent = QFileInfo(QDir::cleanPath(folder)).absolutePath();
        if (!QFileInfo(parent).isDir()) {
            PrintError(QStringLiteral("Nothing was written: the folder %1 does not exist, and "
                                      "only its last level is made")
                           .arg(parent));
            return ExitFailed;
        }
    }
    if (StopSignalReceived())
        return InterruptedExitStatus();
    {
        TFFEncoder libraries;
        if (!libraries.LibrariesLoaded() && !libraries.LoadLibraries(programFolder)) {
            PrintError(libraries.LastErrorText());
            AppLog().LogError(QStringLiteral("Failed to load audio library, error message: ") +
                              libraries.LastErrorText());
            return ExitFailed;
        }
    }
    if (!folderInfo.isDir() && !QDir().mkdir(folder)) {
        PrintError(QStringLiteral("Nothing was written: cannot make the folder %1").arg(folder));
        return ExitFailed;
    }
    for (const QString& notice : notices) {
        PrintError(notice);
        AppLog().LogInfo(notice);
    }

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
    // A piece's block in the log, written on the main thread once the piece has ended, so that
    // the blocks of pieces running at once never interleave.
    auto endPiece = [&](TPieceRun& run, TCutOutcome outcome) {
        run.Ended = true;
        run.Outcome = std::move(outcome);
        if (run.Outcome.Kind == TCutOutcome::ckCompleted)
            run.Done = run.Piece.EndUs - run.Piece.StartUs;
        showProgress();
        LogCutParameters(TimeText(run.Piece.StartUs), TimeText(run.Piece.EndUs), run.Output,
                         FullGain);
        LogCutOutcome(run.Outcome);
    };

    // The smart split copies each piece's frames on this thread, one piece after another: it is
    // bound by the disk, which pieces cut at once would only share.
    bool smartDone = false, smartInterrupted = false;
    if (request.Smart) {
        QString why = TSmartCut::FallbackReason(100, request.FadeUs);
        TSmartCut smart;
        if (why.isEmpty())
            smart.Open(source, why);
        if (why.isEmpty()) {
            AppLog().LogInfo(request.FadeUs > 0
                                 ? QStringLiteral("Smart split: the pieces' fades are re-encoded, "
                                                  "the frames between them copied.")
                                 : QStringLiteral("Smart split: the pieces' frames are copied, "
                                                  "nothing is re-encoded."));
            for (TPieceRun& run : runs) {
                if (StopSignalReceived()) {
                    smartInterrupted = true;
                    break;
                }
                QString error;
                TCutOutcome outcome;
                outcome.Output = run.Output;
                outcome.Kind = TCutOutcome::ckCompleted;
                if (!smart.Cut(run.Output, run.Piece.StartUs, run.Piece.EndUs, request.FadeUs,
                               request.KeepTags, request.Force, error)) {
                    outcome.Kind = TCutOutcome::ckFailed;
                    outcome.ErrorText = error;
                }
                endPiece(run, outcome);
            }
            smartDone = true;
        } else {
            const QString notice =
                QStringLiteral("Notice: no smart split (%1); the pieces are re-encoded.").arg(why);
            PrintError(notice);
            AppLog().LogInfo(notice);
        }
    }

    QEventLoop loop;
    const auto shared = std::make_shared<TSharedFrameIndex>();
    const int64_t fadeUs = request.FadeUs;

    // Makes the encoder of runs[index] and starts it; nullptr after ending the piece as failed
    // when it cannot start (the encoder made for it is freed on the way out).
    auto startPiece = [&](size_t index) -> std::unique_ptr<TRunningPiece> {
        TPieceRun& run = runs[index];
        auto running = std::make_unique<TRunningPiece>();
        running->Encoder = std::make_unique<TFFEncoder>();
        TFFEncoder& encoder = *running->Encoder;
        auto fail = [&](const QString& text) {
            endPiece(run, TCutOutcome{TCutOutcome::ckFailed, text});
            return nullptr;
        };
        TInputOptions input;
        InitInputOptions(input);
        input.FrameIndex = shared;
        if (encoder.AddTask(source, &input) != 0)
            return fail(encoder.LastErrorText());
        const TSplitPiece& piece = run.Piece;
        // No volume change: with no fade the pieces are the source's samples again.
        TOutputOptions output =
            MakeCutOutputOptions(piece.StartUs, piece.EndUs, -1, std::max(0, info.BitRate));
        output.AudioHook = fadeUs > 0;
        // The pieces end inside the audio the frames showed; a source that decodes to less fails
        // its piece rather than giving a short one.
        output.RequireDuration = true;
        output.NoReplace = !request.Force;
        if (request.KeepTags) {
            int audio, cover;
            FindAudioAndCover(encoder, 0, audio, cover);
            KeepSourceTags(output, audio, cover);
            output.Info.Track = piece.Number;
            output.Info.Title = piece.Title.toStdString();
            output.Info.Author = piece.Artist.toStdString();
            if (!request.CueSheet.isEmpty())
                output.Info.Album = sheet.Title.toStdString();
        }
        if (!encoder.SetOutputFile(0, run.Output, &output))
            return fail(encoder.LastErrorText());

        if (fadeUs > 0)
            encoder.SetOnAudioHook([start = piece.StartUs, end = piece.EndUs,
                                    fadeUs](QObject*, int, int64_t pts, void* samples, int size,
                                            int rate, int channels, int format) {
                ApplyFade(pts, samples, size, rate, channels, format, start, end, fadeUs);
            });
        encoder.SetOnProgress([&, index](QObject*, const TProgressInfo* p) {
            TPieceRun& r = runs[index];
            r.Done = std::min(p->CurrentDuration, r.Piece.EndUs - r.Piece.StartUs);
            showProgress();
        });
        // Reports come on the encoder's notification thread and are carried over to the main
        // thread; the run's final report comes last, and only then may the encoder go.
        TRunningPiece* self = running.get();
        encoder.SetOnTerminate([&, self, index](QObject*, const TTerminateInfo& info) {
            const TTerminateInfo copy = info;
            CallInMainThread([&, self, index, copy] {
                if (copy.TaskIndex < 0) {
                    self->RunEnded = true;
                    loop.quit();
                    return;
                }
                TCutOutcome outcome;
                outcome.Kind = copy.Finished ? TCutOutcome::ckCompleted
                               : copy.Failed ? TCutOutcome::ckFailed
                                             : TCutOutcome::ckStopped;
                outcome.ErrorText = QString::fromLocal8Bit(copy.ErrorText);
                endPiece(runs[index], outcome);
            });
        });
        encoder.StartTask(1);
        return running;
    };

    const size_t jobs = std::min<size_t>(
        runs.size(),
        size_t(request.Jobs > 0 ? request.Jobs
                                : int(std::max(1u, std::thread::hardware_concurrency()))));
    std::vector<std::unique_ptr<TRunningPiece>> active; // no more than jobs
    size_t next = 0;
    bool stopping = false, interrupted = smartInterrupted;
    if (!smartDone) {
        TInterruptWatch watch([&] {
            stopping = true;
            for (const auto& running : active)
                running->Encoder->StopTasks(false);
            loop.quit();
        });
        for (;;) {
            // Ended runs go first: each encoder frees its files and joins its threads. Taken out
            // of the list before they are freed, because freeing runs main-thread calls, among
            // them a stop that walks the list.
            std::vector<std::unique_ptr<TRunningPiece>> ended;
            for (auto it = active.begin(); it != active.end();) {
                if ((*it)->RunEnded) {
                    ended.push_back(std::move(*it));
                    it = active.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto& running : ended) {
                running->Encoder->SetOnTerminate(nullptr);
                running->Encoder->SetOnProgress(nullptr);
                running->Encoder->SetOnAudioHook(nullptr);
            }
            ended.clear();
            while (!stopping && next < runs.size() && active.size() < jobs)
                if (auto running = startPiece(next++)) {
                    // A stop that came while it was being made did not see it.
                    if (stopping)
                        running->Encoder->StopTasks(false);
                    active.push_back(std::move(running));
                }
            if (active.empty() && (stopping || next >= runs.size()))
                break;
            const bool endedMeanwhile =
                std::any_of(active.begin(), active.end(),
                            [](const auto& running) { return running->RunEnded; });
            if (!endedMeanwhile)
                loop.exec();
        }
        interrupted = watch.Interrupted();
    }
    progress.Finish();

    int failed = 0, stopped = 0;
    for (TPieceRun& run : runs) {
        if (run.Ended && run.Outcome.Kind == TCutOutcome::ckCompleted &&
            !QFileInfo::exists(run.Output)) {
            // Reported whole but not there: never listed as written.
            run.Outcome = TCutOutcome{TCutOutcome::ckFailed,
                                      QStringLiteral("it was reported finished, but no file "
                                                     "is there")};
            AppLog().LogError(
                QStringLiteral("%1: reported finished, but no file is there").arg(run.Output));
        }
        if (!run.Ended) {
            ++stopped; // never started: a stop came first
            continue;
        }
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
    std::printf("Completed to split mp3 file into %zu piece%s.\n", runs.size(),
                runs.size() == 1 ? "" : "s");
    return ExitOk;
}
