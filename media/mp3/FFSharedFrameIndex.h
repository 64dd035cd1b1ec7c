#pragma once
// One frame index of a source shared by the tasks that read it: a split runs many cuts of one
// long file at once, and walking its frames once per piece would cost more than some pieces.
//
// Threads: the engines' workers call Get at once; the first builds the index while the others
// wait on the lock (nothing else is held then, and nobody waits for the main thread). The index
// handed out is never changed again, so the workers read it without a lock.

#include "media/mp3/FFMP3FrameIndex.h"

#include <QString>

#include <memory>
#include <mutex>

class TSharedFrameIndex {
public:
    // The index of fileName's frames from the byte position firstFrame, built on the first call
    // and reused for every later call with the same file and position; nullptr when the file
    // cannot be indexed (then nobody tries again).
    std::shared_ptr<const TMP3FrameIndex> Get(const QString& fileName, int64_t firstFrame);

private:
    std::mutex FLock; // guards the fields below and makes one caller build while the rest wait
    QString FFileName;
    int64_t FFirstFrame = -1;
    bool FBuilt = false; // a build for FFileName/FFirstFrame was tried
    std::shared_ptr<const TMP3FrameIndex> FIndex;
};
