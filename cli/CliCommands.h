#pragma once
// The commands of snipwave-cli. Each returns the process's exit status and writes its
// messages itself: results on stdout, progress and failures on stderr, and the same lines as the
// window in the application's log file.

#include "cli/CliOptions.h"

// Exit statuses.
enum : int {
    ExitOk = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitInterrupted = 130, // the shell's status for a program ended by SIGINT
};

int RunInfo(const TCliRequest& request);
int RunCut(const TCliRequest& request);
int RunPlay(const TCliRequest& request);

// Starts routing SIGINT to a flag that RunCut polls; a second SIGINT ends the process at once.
void InstallInterruptHandler();
