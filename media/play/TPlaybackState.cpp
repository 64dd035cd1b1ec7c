#include "media/play/TPlaybackState.h"

#include "media/play/TPlayerHost.h"

TPlaybackState::TPlaybackState(TPlayerHost& host, const TPlaybackOptions& options,
                               const QString& fileName, bool startPaused, uint64_t generation)
    : Host(host), Log(host.LogQueue()), Opt(options), FileName(fileName), Generation(generation) {
    if (startPaused) {
        Paused = 1;
        OpenedPaused = 1;
    }
}
