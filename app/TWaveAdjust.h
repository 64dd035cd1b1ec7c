#pragma once
// The waveform of the Adjust step and the exact range it edits.
//
// The trackbar counts whole seconds; the range itself is kept here in µs, so a range end placed
// on the zoomed waveform, moved with the keys or typed into a time label keeps its milliseconds
// all the way to the cut. Each end is either a whole second that the trackbar set (the labels
// show hh:mm:ss, the cut takes the trackbar's value as it always did) or exact (the labels show
// hh:mm:ss.mmm and the trackbar's marker sits at the nearest whole second). Whatever moves an
// end moves all three views of it: trackbar, label and waveform.
//
// View > Waveform shows or hides the waveform under the three steps; the window grows or
// shrinks by its height and the choice is kept in the user's settings (off at first).
//
// Keys, on the focused trackbar or waveform: Left/Right move the active end (the one last
// touched) by a second, with Shift by 10 ms; Page Up/Down by 10 s; [ and ] set the start or the
// end at the play position. A double-click on a time label opens a small editor for it.
//
// Threads: main thread only. The peaks come from a TWaveScan, which runs while the waveform is
// shown and a file is open, and is cancelled when another file is opened or the window closes.

#include "app/TWaveView.h"
#include "media/decode/TWavePeaks.h"
#include "media/decode/TWaveScan.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QSettings;
class TFFDecoder;
class TFFPlayer;
class TVelTrackbar;
struct TCutParams;

// The window's parts the waveform works with; all outlive it.
struct TWaveAdjustParts {
    QWidget* Client = nullptr;   // the window's client area, which holds the panel
    QMenuBar* MenuBar = nullptr; // View goes in before the menu of Before
    QAction* Before = nullptr;
    TVelTrackbar* Trackbar = nullptr;
    QLabel* StartLabel = nullptr;
    QLabel* EndLabel = nullptr;
    TFFPlayer* Player = nullptr;
    TFFDecoder* Decoder = nullptr;                  // its libraries are the scan's
    std::function<void(int height)> SetPanelHeight; // the window makes room (0: none)
};

class TWaveAdjust : public QObject {
    Q_OBJECT
public:
    static constexpr int PanelHeight = 112; // px the window grows by, scroll bar included

    explicit TWaveAdjust(const TWaveAdjustParts& parts);
    ~TWaveAdjust() override;

    // The window's hooks.
    void SourceOpened(const QString& fileName); // the probe has opened it; Max is set
    void SourceClosed();                        // before every open, and at close
    void TrackbarStartMoved();                  // the trackbar set a whole-second start
    void TrackbarEndMoved();
    void RangeRestored();
    void PlayPosition(int64_t us);
    void PlayStopped();

    // The range in µs, as the cut takes it.
    int64_t StartUs() const;
    int64_t EndUs() const;
    // The end holds its own µs (set here, not by the trackbar, which still agrees with it).
    bool StartExact() const;
    bool EndExact() const;
    // Sets an end to us (clamped into the audio and against the other end) and shows it
    // everywhere; it becomes the active end.
    void SetStartUs(int64_t us);
    void SetEndUs(int64_t us);
    // The play position keys and clicks refer to, µs.
    int64_t PositionUs() const { return FPositionUs; }

    // The cut's range from the exact ends; and why the range is empty, or empty text.
    void FillCutRange(TCutParams& params) const;
    QString EmptyRangeMessage() const;

    // Shows the waveform when the user left it shown; the window calls it once it is built.
    void RestoreShown();
    bool Shown() const { return FShown; }
    void SetShown(bool shown);
    // The range keys; true when the key was one of them.
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
    // Opens the editor over the start's or the end's label.
    void EditTime(TWaveView::TEnd end);
    QLineEdit* Editor() const { return FEditor; }

    TWaveView* View() const { return FView; }
    QFrame* Panel() const { return FPanel; }
    const TWavePeaks& Peaks() const { return FPeaks; }
    TWaveScan& Scan() { return FScan; }
    QMenu* mnView;
    QAction* Waveform1; // View > Waveform, checkable

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowRange();  // labels and waveform from the exact ends
    void EnsureScan(); // starts the scan when it is wanted and not done
    int64_t AudioEndUs() const;
    int64_t ViewEndUs() const; // the end as the waveform shades it
    void ApplyEditor();
    void CloseEditor();

    TWaveAdjustParts F;
    QFrame* FPanel;
    TWaveView* FView;
    TWavePeaks FPeaks;
    TWaveScan FScan;
    std::unique_ptr<QSettings> FSettings;
    QString FFile; // the open source; empty when none
    bool FShown = false;
    bool FScanDone = false;           // the peaks of FFile are complete
    int64_t FStartUs = 0, FEndUs = 0; // µs, meaningful where the matching flag is set
    bool FStartExact = false, FEndExact = false;
    int64_t FPositionUs = 0;
    TWaveView::TEnd FActive = TWaveView::TEnd::Start;
    QLineEdit* FEditor = nullptr;
    TWaveView::TEnd FEditing = TWaveView::TEnd::Start;
};
