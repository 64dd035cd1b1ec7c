#pragma once
// cli/ — snipwave-cli, the command line: its options (CliOptions, CliRange), its output and
// progress lines (CliOutput, CliProgress) and the commands info, cut and play (here), split
// (CliSplit) and transcode (CliTranscode). It runs the same job as the window, from job/.
//
// May include: job/, media/ and its parts, Qt Core. Never app/ or controls/: the program opens no
// window and links neither Qt Widgets nor Qt D-Bus (tests/smoke/check_layers.sh keeps it so).
//
// Threads: the main thread parses, runs each command and waits in a local event loop, through
// which the components' main-thread events arrive; the encoder's workers and the player's
// threads are the media layer's, and the log file is written on the main thread only.
//
// The commands of snipwave-cli. Each returns the process's exit status and writes its
// messages itself: results on stdout, progress and failures on stderr, and the same lines as the
// window in the application's log file.

#include "cli/CliOptions.h"

#include <functional>
#include <memory>

class QSocketNotifier;

// Exit statuses.
enum : int {
    ExitOk = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitInterrupted = 130, // the shell's status for a program ended by SIGINT
    // A stop asked by another signal ends with 128 + its number, as the shell reports it:
    // 129 for SIGHUP, 143 for SIGTERM.
};

int RunInfo(const TCliRequest& request);
int RunCut(const TCliRequest& request);
int RunPlay(const TCliRequest& request);

// Starts routing SIGINT, SIGTERM and SIGHUP to a flag that RunCut polls: the cut stops and its
// shorter file is put in place. A second one of them ends the process at once. SIGPIPE is
// ignored: progress is cosmetic, and a reader that went away must not kill the cut.
void InstallInterruptHandler();

// For commands that watch for a stop themselves: the first stop signal received (0 = none), and
// the exit status it asks for.
int StopSignalReceived();
int InterruptedExitStatus();

// Calls stop once, on the main thread, after a stop signal, while the main thread runs an event
// loop: the handler only sets the flag and writes to a pipe, which wakes the loop, so nothing
// looks at the flag on a timer.
class TInterruptWatch {
public:
    explicit TInterruptWatch(std::function<void()> stop);
    ~TInterruptWatch();
    TInterruptWatch(const TInterruptWatch&) = delete;
    TInterruptWatch& operator=(const TInterruptWatch&) = delete;
    bool Interrupted() const { return FInterrupted; }

private:
    void Check();

    std::function<void()> FStop;
    std::unique_ptr<QSocketNotifier> FNotifier;
    bool FInterrupted = false;
};
