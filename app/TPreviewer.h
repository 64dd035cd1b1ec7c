#pragma once
// The preview window of a transcoding run: a small tool window that shows the encoded pictures
// the engine hands it. The engine calls ShowPicture on its worker thread; the window itself is
// made, painted and destroyed only on the main thread, which the worker never waits for: each
// picture is copied, the newest one replaces any that was not yet painted, and one queued call
// paints it. The window is made on the first picture, centred on the screen with the picture's
// size; once the user closes it, ShowPicture answers false and the engine stops previewing.
//
// Threads: ShowPicture and the destructor may run on any thread; everything of the window runs on
// the thread of the application object. The picture hand-over is guarded by TShared::Lock.

#include "media/encode/video/FFVideoHooks.h"

class QWidget;

#include <cstdint>
#include <memory>
#include <mutex>

class TPreviewerWindow;
class TPreviewerHost;

class TPreviewer : public TPreviewSink {
public:
    TPreviewer();
    ~TPreviewer() override;
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    bool ShowPicture(const TBitmap& bitmap, int frame, int64_t pts) override;

    // What the encoder component's SetPreviewerFactory takes: a new previewer per run.
    static TPreviewSinkFactory Factory();

    // The window once the first picture was painted; main thread only (tests look at it).
    QWidget* Window() const;
    // True once the user closed the window.
    bool Closed() const;

    // The picture hand-over between the worker and the main thread.
    struct TShared {
        std::mutex Lock; // guards the fields below
        TBitmap Picture; // the newest picture not yet painted (shared with the engine's)
        int Frame = 0;
        int64_t Pts = 0; // µs
        bool PaintQueued = false;
        bool Closed = false;
    };

private:
    std::shared_ptr<TShared> FShared;
    // Lives on the main thread; deleted there (deleteLater) and takes the window with it.
    TPreviewerHost* FHost = nullptr;
};
