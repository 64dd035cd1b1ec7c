#include "job/CutJob.h"

#include "job/CutRules.h"
#include "job/SmartCut.h"
#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/FileNameBytes.h"
#include "media/MyUtils.h"
#include "media/FFEntryPoints.h"
#include "media/TAtomicFile.h"
#include "media/decode/AudioExtent.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"

#include <QTimer>

#include <algorithm>
#include <exception>
#include <limits>
#include <sys/stat.h>

TOutputOptions MakeCutOutputOptions(int64_t startUs, int64_t endUs, int volume, int bitRate) {
    TOutputOptions o;
    InitOutputOptions(o);
    o.FileFormat = "mp3";
    o.AudioCodec = "libmp3lame";
    o.AudioHook = true;
    o.StartTime = startUs;
    o.Duration = endUs - startUs;
    o.AudioVolume = volume;
    o.AudioBitrate = bitRate;
    return o;
}

bool IsSameFile(const QString& source, const QString& output) {
    struct stat a, b;
    const QByteArray s = EncodeFileName(source), o = EncodeFileName(output);
    if (::stat(s.constData(), &a) != 0 || ::stat(o.constData(), &b) != 0)
        return false; // one of them does not exist, so writing cannot touch the other
    // Device and inode catch hard links as well as symbolic ones and different spellings.
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void KeepSourceTags(TOutputOptions& output, int audioStream, int coverStream) {
    std::string lines = "map_meta_data=0:0\n";
    // Explicit maps name every output stream in the order the engine makes them, video before
    // audio: the picture is copied as it is, the audio is encoded as before.
    if (coverStream >= 0 && audioStream >= 0)
        lines += "map=0:" + std::to_string(coverStream) + "\nmap=0:" + std::to_string(audioStream) +
                 "\nvcodec=copy\n";
    output.ExtOptions = lines + output.ExtOptions;
}

void FindAudioAndCover(TFFEncoder& encoder, int task, int& audioStream, int& coverStream) {
    audioStream = coverStream = -1;
    TFFDecoder* probe = encoder.TaskInputProbe(task, 0);
    const AVFormatContext* ic = probe ? probe->FormatContext() : nullptr;
    if (!ic)
        return;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVStream* st = ic->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audioStream < 0)
            audioStream = int(i);
        else if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) && coverStream < 0)
            coverStream = int(i);
    }
}

void LogCutParameters(const QString& begin, const QString& end, const QString& output, int volume) {
    TVelLog& log = AppLog();
    log.LogInfo(QStringLiteral("Begin Time:") + begin);
    log.LogInfo(QStringLiteral("End Time:") + end);
    log.LogInfo(QStringLiteral("Output:") + output);
    log.LogInfo(QStringLiteral("Volume:") + QString::number(volume));
}

bool FindAudioEnd(const QString& source, int64_t startUs, int64_t& endUs, QString& message) {
    const TAudioExtent extent = ScanAudioExtent(source, std::numeric_limits<int64_t>::max());
    if (!extent.HasAudio) {
        message = QStringLiteral("Nothing to cut: %1 holds no decodable audio.").arg(source);
        AppLog().LogError(message);
        return false;
    }
    if (startUs >= extent.EndUs) {
        message = QStringLiteral("Nothing to cut: the audio of %1 ends at %2, before the range "
                                 "begins.")
                      .arg(source, FormatExactTime(extent.EndUs));
        AppLog().LogError(message);
        return false;
    }
    endUs = extent.EndUs;
    AppLog().LogInfo(
        QStringLiteral("The range ends where the audio ends: %1.").arg(FormatExactTime(endUs)));
    return true;
}

void LogCutOutcome(const TCutOutcome& outcome) {
    TVelLog& log = AppLog();
    if (outcome.Kind == TCutOutcome::ckCompleted) {
        log.LogInfo(QStringLiteral("Completed to cut mp3 file."));
    } else if (outcome.Kind == TCutOutcome::ckFailed) {
        log.LogInfo(QStringLiteral("Failed to cut file."));
        log.LogInfo(QStringLiteral("Error Message:"));
        log.LogInfo(outcome.ErrorText);
    }
}

TCutJob::TCutJob(TFFEncoder& encoder) : FEncoder(encoder) {
    FEncoder.SetOnAudioHook([this](QObject*, int, int64_t pts, void* samples, int size,
                                   int sampleRate, int channels, int sampleFormat) {
        ApplyFade(pts, samples, size, sampleRate, channels, sampleFormat, FFadeStartUs.load(),
                  FFadeEndUs.load(), FFadeUs.load());
    });
    FEncoder.SetOnProgress([this](QObject*, const TProgressInfo* info) { HandleProgress(*info); });
    // The log and the owner's state belong to the main thread, so the termination events are
    // carried over there. Detaching the handler waits for a call in flight, and that call may
    // still be waiting for the main thread while the job is being destroyed there: the token,
    // copied now and checked on the main thread, tells it the job is gone.
    const std::weak_ptr<int> alive = FAlive;
    FEncoder.SetOnTerminate([this, alive](QObject*, const TTerminateInfo& info) {
        const TTerminateInfo copy = info;
        CallInMainThread([this, copy, alive] {
            if (alive.expired())
                return;
            if (copy.TaskIndex >= 0)
                HandleTaskEnd(copy);
            else
                HandleRunEnd();
        });
    });
}

TCutJob::~TCutJob() {
    FAlive.reset();
    FEncoder.SetOnTerminate(nullptr);
    FEncoder.SetOnProgress(nullptr);
    FEncoder.SetOnAudioHook(nullptr);
    if (FRunning && !FSmart)
        FEncoder.StopTasks(true);
}

void TCutJob::SetFadeRange(int64_t startUs, int64_t endUs) {
    FFadeStartUs.store(startUs);
    FFadeEndUs.store(endUs);
}

bool TCutJob::Start(const TCutParams& params, QString& message) {
    FParams = params;
    FOutcome = TCutOutcome();
    FOutcome.Output = params.Output;
    TVelLog& log = AppLog();
    LogCutParameters(FormatSeconds(params.StartSeconds), FormatSeconds(params.EndSeconds),
                     params.Output, params.Volume);

    if (IsSameFile(params.Source, params.Output)) {
        message =
            QStringLiteral("The output file is the source file itself: %1").arg(params.Output);
        log.LogError(message);
        return false;
    }
    if (!FEncoder.LibrariesLoaded() && !FEncoder.LoadLibraries(params.LibraryFolder)) {
        message = FEncoder.LastErrorText();
        log.LogError(QStringLiteral("Failed to load audio library, error message: ") + message);
        return false;
    }

    const int64_t startUs =
        params.StartUs >= 0 ? params.StartUs : SecondsToMicroseconds(params.StartSeconds);
    int64_t endUs = params.EndUs >= 0 ? params.EndUs : SecondsToMicroseconds(params.EndSeconds);
    if (params.EndAtAudioEnd && !FindAudioEnd(params.Source, startUs, endUs, message))
        return false;

    FSmart = false;
    FFadeUs.store(params.FadeUs);
    if (params.Smart && TrySmartCut(SecondsToMicroseconds(params.StartSeconds), endUs))
        return true;

    FEncoder.ClearTasks();
    TInputOptions input;
    InitInputOptions(input);
    if (FEncoder.AddTask(params.Source, &input) < 0 || FEncoder.TaskCount() < 1) {
        log.LogInfo(QStringLiteral("None task. task count:%1 <=0").arg(FEncoder.TaskCount()));
        message = QStringLiteral("Failed to process file, please try again.");
        if (!FEncoder.LastErrorText().isEmpty())
            message += QLatin1Char('\n') + FEncoder.LastErrorText();
        return false;
    }

    TOutputOptions output = MakeCutOutputOptions(startUs, endUs, params.Volume, params.BitRate);
    // A range the source does not hold fails inside the run, before its file is put in place.
    output.RequireDuration = true;
    output.NoReplace = !params.Replace;
    if (params.KeepTags) {
        int audio, cover;
        FindAudioAndCover(FEncoder, 0, audio, cover);
        KeepSourceTags(output, audio, cover);
    }
    // One missing folder level is made, as a user typing a new folder name would expect.
    const QByteArray folder = EncodeFileName(ExtractFilePathW(params.Output));
    struct stat st {};
    if (!folder.isEmpty() && (::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode)))
        ::mkdir(folder.constData(), 0777);
    if (!FEncoder.SetOutputFile(0, params.Output, &output)) {
        const QString reason = FEncoder.LastErrorText();
        FEncoder.RemoveTask(0);
        log.LogError(QStringLiteral("Failed to convert audio."));
        message = QStringLiteral("Failed to convert audio.");
        if (!reason.isEmpty())
            message += QLatin1Char('\n') + reason;
        return false;
    }

    SetFadeRange(startUs, endUs);
    FRunning = true;
    try {
        FEncoder.StartTask(1);
    } catch (const std::exception& e) {
        // No worker could be made: nothing runs, so nothing will ever end the job either.
        FRunning = false;
        FEncoder.ClearTasks();
        message = QStringLiteral("Failed to convert audio.\n") + QString::fromLocal8Bit(e.what());
        log.LogError(message);
        return false;
    }
    return true;
}

bool TCutJob::TrySmartCut(int64_t startUs, int64_t endUs) {
    TVelLog& log = AppLog();
    QString why = TSmartCut::FallbackReason(FParams.Volume == VolumeValue(100) ? 100 : 0, FParams.FadeUs);
    if (why.isEmpty() && !TAtomicFile::Applies(FParams.Output))
        why = QStringLiteral("the output is not a regular file");
    TSmartCut smart;
    if (why.isEmpty())
        smart.Open(FParams.Source, why);
    if (!why.isEmpty()) {
        const QString notice =
            QStringLiteral("Notice: no smart cut (%1); the range is re-encoded.").arg(why);
        log.LogInfo(notice);
        if (OnNotice)
            OnNotice(notice);
        return false;
    }
    log.LogInfo(FParams.FadeUs > 0
                    ? QStringLiteral("Smart cut: the fades are re-encoded, the frames between "
                                     "them copied.")
                    : QStringLiteral("Smart cut: the range's frames are copied, nothing is "
                                     "re-encoded."));
    // One missing folder level is made, as for the full re-encode.
    const QByteArray folder = EncodeFileName(ExtractFilePathW(FParams.Output));
    struct stat st {};
    if (!folder.isEmpty() && (::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode)))
        ::mkdir(folder.constData(), 0777);
    QString error;
    if (smart.Cut(FParams.Output, startUs, endUs, FParams.FadeUs, FParams.KeepTags, FParams.Replace, error)) {
        FOutcome.Kind = TCutOutcome::ckCompleted;
        if (OnPercent)
            OnPercent(100);
    } else {
        FOutcome.Kind = TCutOutcome::ckFailed;
        FOutcome.ErrorText = error;
    }
    LogCutOutcome(FOutcome);
    // The outcome reaches the owner as a full re-encode's does: after Start has returned.
    FRunning = FSmart = true;
    const std::weak_ptr<int> alive = FAlive;
    QTimer::singleShot(0, [this, alive] {
        if (!alive.expired())
            HandleRunEnd();
    });
    return true;
}

void TCutJob::Stop(bool wait) {
    if (FRunning && !FSmart)
        FEncoder.StopTasks(wait);
}

void TCutJob::HandleProgress(const TProgressInfo& info) {
    if (info.TotalDuration > 0 && OnPercent)
        OnPercent(int(std::min<int64_t>(100, info.CurrentDuration * 100 / info.TotalDuration)));
}

void TCutJob::HandleTaskEnd(const TTerminateInfo& info) {
    if (info.Finished) {
        FOutcome.Kind = TCutOutcome::ckCompleted;
        if (OnPercent)
            OnPercent(100);
    } else if (info.Failed) {
        FOutcome.Kind = TCutOutcome::ckFailed;
        FOutcome.ErrorText = DecodeFileName(QByteArray::fromStdString(info.ErrorText));
    } else {
        FOutcome.Kind = TCutOutcome::ckStopped;
    }
    // On failure the engine has removed what it wrote; the file under the output's name, if
    // any, is the user's and stays.
    LogCutOutcome(FOutcome);
}

void TCutJob::HandleRunEnd() {
    if (!FRunning)
        return;
    FRunning = false;
    if (OnEnded)
        OnEnded(FOutcome);
}
