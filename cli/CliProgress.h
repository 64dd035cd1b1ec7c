#pragma once
// Progress of a cut on stderr: a bar redrawn in place on a terminal, one "NN%" line per change
// otherwise, so that a log or a pipe gets no carriage returns. Progress is cosmetic: once a write
// fails (the reader of a pipe went away), nothing more is written and the cut goes on.

#include <cstdio>

class TCliProgress {
public:
    // interactive: draw a bar (stderr is a terminal).
    TCliProgress(FILE* stream, bool interactive);
    // Shows percent (clamped to 0-100); repeats of the last value are not printed again.
    void Update(int percent);
    // Ends the bar's line, so the next message starts on a line of its own.
    void Finish();

private:
    FILE* FStream;
    bool FInteractive;
    int FLast = -1; // percent shown last; -1 before the first
    bool FGone = false; // a write failed: the stream has nobody to read it
};
