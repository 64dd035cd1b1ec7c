#pragma once
// What the run stages keep in an engine beside the option and file members: the extras of each
// output file, the stream tables of the current run, the run's flags as the threads see them,
// and the two threads a run may use.
//
// Threads: a run happens on one thread (a TConvertThread or the caller's). Other threads only
// start it, set the stop flag and wait for RunFinished; the flags below are atomic because Stop
// and Terminate read them while the run's thread may be ending. Terminate on an engine that
// never ran reports through a TDoTerminateThread. Start and Terminate may race (the encoder
// starts the next task on the worker of the one that ended while its owner stops every task):
// StateLock makes the first of them claim the engine, so it either runs or is reported as
// terminated, once. Whoever stops the engine first joins its threads; the engine's destructor
// does when nobody did.

#include "media/encode/loop/FFLoopEvent.h"
#include "media/encode/output/FFOutputFile.h"
#include "media/encode/prepare/FFPrepareStreams.h"
#include "media/encode/component/TConvertThread.h"
#include "media/encode/component/TDoTerminateThread.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

struct TFFRunState {
    std::vector<TFFOutputExtra> Outputs; // one per output file of the engine, in order
    TFFStreamTables Tables;              // the current run's streams; empty between runs

    std::atomic<bool> Running{false};
    std::atomic<bool> Terminated{false};

    TFFLoopEvent RunFinished;       // reset while a worker runs
    TFFLoopEvent TerminateNotified; // reset while a TDoTerminateThread reports

    // Guards Claimed, Worker and Notifier; never held while waiting or logging.
    std::mutex StateLock;
    bool Claimed = false; // a run or a report without one has been started since the reset
    std::unique_ptr<TConvertThread> Worker;
    std::unique_ptr<TDoTerminateThread> Notifier;

    // Set while a failed run frees its files: its outputs are incomplete and are removed.
    bool DiscardOutputs = false;
    // Off only to compare against decoding every packet (tests, benchmarks).
    bool SkipBeforePreroll = true;
    // Off only to compare against a run that encodes on its own thread (tests, benchmarks).
    bool EncodeOnOwnThread = true;
    bool UsedEncoderThread = false; // by the last run that got to its loop (tests)
};

// The run state of an engine, created on first use.
TFFRunState& RunStateOf(std::shared_ptr<TFFRunState>& run);
