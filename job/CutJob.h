#pragma once
// job/ — the cutting job that the window and the command line share: the cut rules (output
// name, volume, fades, source information: CutRules), the cut job (CutJob), opening a source
// (SourceSteps), split plans (SplitPlan), cue sheets (TCueSheet), the application's log file
// (VelLog) and time texts (TimeTexts). Nothing here draws or asks: what it has to tell, it returns
// or logs, and the window or the command line says it.
//
// May include: media/ and its parts, Qt Core. Never app/, controls/ or cli/, and no Qt Gui or
// Widgets header: snipwave-cli links this library and no window library.
//
// Threads: none of its own. The owner's main thread runs everything and owns the log file and the
// probe; the engine's worker runs only the fade (CutRules' ApplyFade), which reads the job's
// atomics; the encoder's notification thread only hands the outcome over to the main thread.
//
// One cut of the source's range into a new MP3, window-free, so the window and the command line
// run the same job: the same option record, the same fade hook and the same log lines.
//
// Threads: Start, Stop and the outcome run on the owner's (main) thread. The engine's worker
// runs the fade hook, which reads the range from atomics and touches nothing else. Progress
// arrives on the main thread (the encoder's main-thread delivery); the termination events come
// on the encoder's notification thread and are carried over to the main thread before anything
// is logged or reported, because the log file is the main thread's.

#include "job/CutRules.h"
#include "media/encode/component/FFEncoderOptions.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class TFFEncoder;

// The output record of a cut from startUs to endUs (µs on the source's timeline): an MP3 through
// LAME at the source's bit rate (bits per second; 0 leaves LAME's default), the range as an
// output-side start and duration, and the audio hook on for the fades.
TOutputOptions MakeCutOutputOptions(int64_t startUs, int64_t endUs, int volume, int bitRate);

// The output names the source itself (the same file through any link), which would destroy it.
bool IsSameFile(const QString& source, const QString& output);

// Makes the output keep the source's global tags (what the output sets itself wins) and copy
// its cover picture, marked as the attached picture, when coverStream (the cover's stream
// index in the source, audioStream the audio's) is not negative. The command line asks for it;
// the window does not.
void KeepSourceTags(TOutputOptions& output, int audioStream, int coverStream);

// The source's audio stream and its attached (cover) picture, as stream indexes of the opened
// input of encoder's task; -1 for what it has not.
void FindAudioAndCover(TFFEncoder& encoder, int task, int& audioStream, int& coverStream);

// Moves endUs to where source's audio really ends, and logs that; false (message says why,
// logged) when the file holds no audio or its audio ends before startUs. Needs the libraries.
bool FindAudioEnd(const QString& source, int64_t startUs, int64_t& endUs, QString& message);

// A cut's block in the log: its parameters first, then its outcome.
void LogCutParameters(const QString& begin, const QString& end, const QString& output, int volume);
struct TCutOutcome;
void LogCutOutcome(const TCutOutcome& outcome);

struct TCutParams {
    QString Source;           // the file to read
    QString Output;           // the file to write, already made by MakeOutputPath
    int64_t StartSeconds = 0; // range in whole seconds, as the trackbar counts
    int64_t EndSeconds = 0;
    // When not negative, the exact start (µs), which may hold a fraction of a second: the window
    // places a range end to the millisecond on its waveform. StartSeconds is then what the log
    // shows.
    int64_t StartUs = -1;
    // When not negative, the exact end (µs), which may hold a fraction of a second: the command
    // line cuts to the audio's real end. EndSeconds is then what the log shows.
    int64_t EndUs = -1;
    // The range ends where the source's audio really ends, found from its packets: the window's
    // range reaches the trackbar's end, a whole second from the header's duration, which may
    // promise more audio than the file holds or less than it has. EndUs is then not used.
    bool EndAtAudioEnd = false;
    int Volume = 255;      // VolumeValue of the slider
    int BitRate = 0;       // the source's bit rate, bits per second
    QString LibraryFolder; // searched first for the encoder's libraries
    // An existing file under Output may be replaced (the user agreed). Without it a file found
    // there when the cut ends fails the cut and stays as it is.
    bool Replace = false;
    // The output keeps the source's tags and cover picture (see KeepSourceTags).
    bool KeepTags = false;
    int64_t FadeUs = FadeLength; // each fade's length, µs; 0 = none
    // Copy the source's frames instead of re-encoding (job/SmartCut) where the cut allows it;
    // elsewhere the cut re-encodes and OnNotice says why.
    bool Smart = false;
};

struct TCutOutcome {
    enum TKind { ckCompleted, ckFailed, ckStopped };
    TKind Kind = ckFailed;
    QString ErrorText; // what went wrong, for ckFailed
    QString Output;    // the file the cut wrote (or would have written)
};

class TCutJob {
public:
    // The job drives encoder and owns its handlers while it lives.
    explicit TCutJob(TFFEncoder& encoder);
    ~TCutJob();
    TCutJob(const TCutJob&) = delete;
    TCutJob& operator=(const TCutJob&) = delete;

    // Percent of the range done; main thread.
    std::function<void(int percent)> OnPercent;
    // Once per started cut, after its outcome was logged; main thread.
    std::function<void(const TCutOutcome& outcome)> OnEnded;
    // A line for the user that is no failure (already logged): a smart cut that re-encodes.
    std::function<void(const QString& notice)> OnNotice;

    // Logs the cut's parameters, loads the libraries when needed, builds the one task and starts
    // it on a worker. False when it could not start: message says why (already logged), and
    // nothing was written.
    bool Start(const TCutParams& params, QString& message);
    // Stops a running cut; what was written so far stays a valid file.
    void Stop(bool wait);
    // True from a successful Start until OnEnded has been raised.
    bool Running() const { return FRunning; }

    // The range the fades follow, µs; the window may move it while the cut runs.
    void SetFadeRange(int64_t startUs, int64_t endUs);

private:
    void HandleProgress(const TProgressInfo& info);
    void HandleTaskEnd(const TTerminateInfo& info);
    void HandleRunEnd();
    // The smart cut of FParams, when it applies: true when it ran (its outcome is posted), false
    // when the cut must re-encode (the notice has been given).
    bool TrySmartCut(int64_t startUs, int64_t endUs);

    TFFEncoder& FEncoder;
    std::shared_ptr<int> FAlive = std::make_shared<int>(0); // expires with the job
    TCutParams FParams;
    bool FRunning = false;
    bool FSmart = false; // the running cut is a smart cut: no encoder task to stop
    TCutOutcome FOutcome;                 // of the task, set when its event arrives
    std::atomic<int64_t> FFadeStartUs{0}; // read by the fade hook on the worker
    std::atomic<int64_t> FFadeEndUs{0};
    std::atomic<int64_t> FFadeUs{FadeLength};
};
