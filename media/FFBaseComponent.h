#pragma once
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
