#pragma once
// The player as the window uses it: TCustomPlayer with the aspect-ratio setter, the one setting
// that has to reach a running playback (the display is re-opened with the new ratio).

#include "media/play/TCustomPlayer.h"

class TFFPlayer : public TCustomPlayer {
    Q_OBJECT
public:
    explicit TFFPlayer(QObject* parent = nullptr) : TCustomPlayer(parent) {}

    // > 0 overrides the stream's display aspect ratio, < 0 fills the display, 0 the stream's.
    void SetAspectRatio(float value) { SetAspectRatioValue(value); }
};
