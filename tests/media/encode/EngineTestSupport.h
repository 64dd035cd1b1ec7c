#pragma once
// Shared pieces of the engine tests: the encoder's libraries bound once, scratch folders, and the
// independent tools (ffprobe, ffmpeg, sox) that check what the engine wrote.

#include "media/MyUtils.h"
#include "media/encode/component/FFEncoderOptions.h"
#include "media/encode/loop/FFLoopRunState.h"
#include "media/encode/TFFmpeg.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QElapsedTimer>
#include <QThread>

#include <cstdint>
#include <mutex>
#include <vector>

namespace enginetest {

// Runs the main thread's pending calls until pred holds; false after timeoutMs.
template <class Pred> bool PumpUntil(Pred pred, int timeoutMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        PumpMessages();
        QThread::msleep(2);
    }
    return true;
}

// What an encoder's OnTerminate reported, in order, and whether in the main thread. Any thread
// may add.
class TTerminateLog {
public:
    struct TEvent {
        TTerminateInfo Info;
        bool OnMainThread;
    };
    void Add(const TTerminateInfo& info);
    std::vector<TEvent> Snapshot();
    void Clear();
    // The last report is the run's final one (TaskIndex -1).
    bool HasFinalReport();
    std::vector<int> TaskIndexes();

private:
    std::mutex Lock; // guards Events
    std::vector<TEvent> Events;
};

// The engine with its options initialised, and a look at what the tests check inside it.
class TTestEngine : public TFFmpeg {
public:
    TTestEngine() { InitOptions(); }
    TFFOptionState& S() { return FOpt; }
    int64_t InputTsOffset(int i) const { return FInputFiles.at(size_t(i)).TsOffset; }
    // The run state's flag: safe to poll while a worker runs.
    bool Terminated() const { return FRun && FRun->Terminated; }
    void SetSkipBeforePreroll(bool skip) { RunStateOf(FRun).SkipBeforePreroll = skip; }
    void SetEncodeOnOwnThread(bool own) { RunStateOf(FRun).EncodeOnOwnThread = own; }
    bool UsedEncoderThread() { return RunStateOf(FRun).UsedEncoderThread; }
};

// Binds the encoder's library set; fails the calling test when it cannot.
void LoadEngineLibraries();

// Output of a command; exitCode -1 when it could not run.
struct TCommandResult {
    int ExitCode = -1;
    QByteArray Out, Err;
};
TCommandResult RunTool(const QString& program, const QStringList& args);

// What ffprobe reports about a file's first audio stream and its container.
struct TProbe {
    bool Ok = false;
    double Duration = 0;  // s, container, from the Xing frame count (encoder delay included)
    double StartTime = 0; // s, the encoder delay ffprobe reports as the start
    int SampleRate = 0;
    int Channels = 0;
    int AudioStreams = 0;
    int VideoStreams = 0;
    QString Codec;
};
TProbe Probe(const QString& file);

// Seconds of audio a gapless decoder gives (ffmpeg, samples / rate of the first audio stream).
double DecodedSeconds(const QString& file);

// True when ffmpeg decodes the whole file without a single error line.
bool DecodesCleanly(const QString& file);

// The decoded samples of a file as signed 16-bit, interleaved, at its own rate and layout.
std::vector<int16_t> DecodeS16(const QString& file);

// True when the first kilobytes hold a Xing or Info frame with a LAME tag.
bool HasXingLameHeader(const QString& file);

// Peak absolute sample value over the whole decoded file (0 = digital silence).
int PeakLevel(const QString& file);

QByteArray ReadAll(const QString& file);

// An engine that cuts src from startUs for durationUs into dst through libmp3lame (the road
// of the application's cut): input opened, output options set, output created.
bool SetUpCut(TTestEngine& engine, const QString& src, const QString& dst, int64_t startUs,
              int64_t durationUs);

} // namespace enginetest
