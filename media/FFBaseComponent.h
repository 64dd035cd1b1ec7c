#pragma once
// media/ — the foundation of the media layer: the run-time loader and its entry-point tables
// (FFLoad, FFEntryPoints), the log bridge (FFLog), the main-thread event trigger
// (FFEventTrigger), the wide-name file protocol (UnicodeProtocol, FileNameBytes), the utilities
// (MyUtils, FFUtils), the atomic output file (TAtomicFile), frame hooks, pictures (TBitmap), the
// RAII wrappers of FFmpeg objects (AVPtr) and, here, the components' base. Its parts build on it:
// media/mp3, media/decode, media/encode, media/play.
//
// May include: Qt Core (never Qt Gui: pictures are TBitmaps), FFmpeg's and SDL's headers (every
// call through the loader's entry points), and among its own files only downward: FFEventTrigger <- FFLog <-
// FFLoad <- FFBaseComponent. Never a media part, job/, app/, controls/ or cli/, and no widget.
//
// Threads: the foundation starts none. The loader runs on the main thread before the components
// start their threads and after they end; the log bridge and the main-thread calls (MyUtils) are
// used from every thread, and hand work to the main thread without ever holding a lock of ours.
//
// Common base of the media components (probe, encoder, player). The log bridge shares only the
// main-thread event trigger with them (FFEventTrigger.h), which sits below both.
//
// Each component names the library set it needs; the owner asks LibrariesLoaded() before the
// first use and otherwise calls LoadLibraries() with the folder to search first, showing
// LastErrorText() on failure. Operations that can fail return false (or -1) and leave their
// message in LastErrorText().

#include "media/FFEventTrigger.h"
#include "media/FFLoad.h"

#include <QString>

class TFFBaseComponent : public TFFEventTrigger {
    Q_OBJECT
public:
    explicit TFFBaseComponent(TLibrarySet libraries, QObject* parent = nullptr);
    ~TFFBaseComponent() override;

    TLibrarySet Libraries() const { return FLibraries; }
    // True when every library of the component's set is loaded and bound.
    bool LibrariesLoaded() const;
    // Sets the loader's first folder to path and loads the component's set; on failure copies
    // the loader's message into LastErrorText() and returns false.
    bool LoadLibraries(const QString& path);

    QString LastErrorText() const { return FLastErrorText; }
    void SetLastErrorText(const QString& text) { FLastErrorText = text; }

private:
    TLibrarySet FLibraries;
    QString FLastErrorText;
};
