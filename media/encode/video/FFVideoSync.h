#pragma once
// Frame-rate synchronisation of an output video stream, as the ffmpeg 5.1 tool does it: how many
// times a picture is written so that the output's frame clock follows the input's timestamps
// (duplicating pictures over gaps, the previous one first, dropping pictures that come too
// early), or, for variable-rate outputs, where the clock jumps to. Pure arithmetic, on the run's
// thread.

#include <cstdint>

// The "vsync" values: the ffmpeg tool's numbers, and the two it only uses inside.
enum TVideoSyncMethod : int {
    VsyncAuto = -1,
    VsyncPassthrough = 0,
    VsyncCfr = 1,
    VsyncVfr = 2,
    VsyncVsCfr = 0xfe, // constant rate that does not fill the time before the first picture
    VsyncDrop = 0xff,  // as pass-through; the muxer makes the timestamps up
};

// The "vsync" text: a name (auto, passthrough, cfr, vfr, drop; any case) or a number -1..2.
// False for anything else.
bool ParseVideoSyncMethod(const char* text, int& method);

// What "auto" means for an output: "avi" and formats with variable frame rates take variable
// rate (pass-through where the format keeps no timestamps), others constant rate — one that does
// not fill the time before the first picture when the source is the only stream of its input,
// or with copied timestamps. Any other method is returned as it is.
int ResolveVideoSyncMethod(int method, const char* formatName, bool variableFps, bool noTimestamps,
                           bool singleStreamInput, bool copyTs);

// The clock of one output stream.
struct TVideoSyncState {
    int64_t SyncPos = 0;      // the output clock: frames handed to the encoder so far
    int64_t Written = 0;      // frames written (the frame counter)
    int64_t LastNb0[3] = {};  // how often the previous picture was repeated, last three
    bool LastDropped = false; // the previous picture was not written
};

struct TVideoSyncResult {
    int64_t Frames = 1;    // frames written now (0 = none)
    int64_t Nb0 = 0;       // of them, repeats of the previous picture, written first
    int Drops = 0;         // pictures that count as dropped
    int64_t Dups = 0;      // frames that count as duplicates
    bool TooLarge = false; // a duplication beyond reason: nothing written, counted as a drop
};

// One picture at ipts (its time in encoder frames from the output's start) lasting duration
// frames, for a resolved method; maxFrames caps the frames written. Moves state.SyncPos where
// the method says; the caller writes the frames and advances SyncPos and Written per frame.
TVideoSyncResult VideoSync(int method, double ipts, double duration, int64_t maxFrames,
                           TVideoSyncState& state);
// The end of the stream: the previous picture is repeated as often as it mostly was lately.
TVideoSyncResult VideoSyncFlush(int64_t maxFrames, TVideoSyncState& state);
