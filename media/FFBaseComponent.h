#pragma once
// Common base of the media components (probe, encoder, player, log component).
//
// Each component names the library set it needs; the owner asks LibrariesLoaded() before the
// first use and otherwise calls LoadLibraries() with the folder to search first, showing
// LastErrorText() on failure. Operations that can fail return false (or -1) and leave their
// message in LastErrorText().

#include "media/FFLoad.h"

#include <QObject>
#include <QString>

#include <atomic>

class TFFBaseComponent : public QObject {
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

    // When true, events reach the owner in the main thread (CallInMainThread); when false they
    // are raised on the thread that produced them.
    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
    void SetTriggerEventInMainThread(bool value) { FTriggerEventInMainThread.store(value); }

private:
    TLibrarySet FLibraries;
    QString FLastErrorText;
    // Read by whichever thread raises an event while the owner may change it.
    std::atomic<bool> FTriggerEventInMainThread{true};
};
