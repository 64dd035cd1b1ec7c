#pragma once
// Frame-rate synchronisation of an output video stream: how many times a picture is written so
// that the output's constant frame clock follows the input's timestamps (duplicating pictures
// over gaps, dropping pictures that come too early), or, for variable-rate outputs, where the
// clock jumps to. Pure arithmetic, on the run's thread.

#include <cstdint>

struct TVideoSyncResult {
    int Frames = 1;    // times the picture is written (0 = dropped)
    bool Drop = false; // counts one dropped picture
    int Dups = 0;      // counts this many duplicates
};

// method: the "vsync" value (0 = pass timestamps through, 1 = constant rate, 2 = variable rate,
// -1 = by the format: variableFps chooses 2, else 1). ipts: the picture's time in encoder frames
// from the output's start. syncPos: frames handed to the encoder so far (the output clock); it
// is moved where the method says, the caller advances it per frame written.
TVideoSyncResult VideoSync(int method, bool variableFps, double ipts, int64_t& syncPos);
