#pragma once
// The waveform of the whole source under the three steps: the peaks (TWavePeaks) drawn column by
// column at the zoom's scale, the selected range (the rest shaded), both range ends as handles,
// and the play position while a preview runs.
//
// Design
// - It shows and edits; the owner decides. Dragging a handle, selecting on the wave and clicking
//   only raise the On… events with times in µs; the owner clamps them, moves the trackbar and
//   sets the range back with SetRange, so the two controls cannot disagree.
// - The view is a window onto the file: ViewStart (samples) and SamplesPerPixel; the wheel with
//   Ctrl (or + and −) zooms around the pointer from the whole file down to 10 ms per pixel, the
//   wheel and the scroll bar under the wave scroll, Home, End and 0 show the whole file.
// - A column covers whole bins, so what is drawn is the true min and max of those samples;
//   exact columns are dark, estimated ones (the overview, before the decode reaches them) light,
//   and a column whose samples reach full scale is drawn red.
// - Keys other than the zoom keys go to OnKey, so the trackbar and the wave share them.
//
// Threads: main thread only.

#include <QWidget>

#include <cstdint>
#include <functional>

class QScrollBar;
class TWavePeaks;

class TWaveView : public QWidget {
    Q_OBJECT
public:
    enum class TEnd { Start, End };

    explicit TWaveView(QWidget* parent = nullptr);

    // The peaks to draw (not owned; null draws nothing); call again after their layout changed.
    void SetPeaks(const TWavePeaks* peaks);
    // The peaks changed: repaint (coalesced).
    void PeaksChanged() { update(); }

    void SetRange(int64_t startUs, int64_t endUs);
    int64_t StartUs() const { return FStartUs; }
    int64_t EndUs() const { return FEndUs; }
    // µs of the play line; negative hides it.
    void SetPlayPosition(int64_t us);
    int64_t PlayPosition() const { return FPlayUs; }

    // The view: first sample shown and samples per pixel.
    double ViewStart() const { return FViewStart; }
    double SamplesPerPixel() const { return FSpp; }
    // Zooms by factor (>1 in) keeping the sample under x where it is.
    void ZoomAt(double factor, int x);
    void ShowWhole();
    void ScrollTo(double firstSample);
    // Shows the samples of [fromUs, toUs).
    void ShowSpan(int64_t fromUs, int64_t toUs);

    // Pixel of a time in µs and back (client coordinates of the wave area).
    double UsToX(int64_t us) const;
    int64_t XToUs(double x) const;
    int WaveHeight() const; // the drawing area above the scroll bar, px

    // Dragging a handle (each move), a new range dragged out on the wave, a click (press and
    // release without a drag; press first, so the owner can pause a preview).
    std::function<void(TEnd end, int64_t us)> OnHandleMoved;
    std::function<void(int64_t startUs, int64_t endUs)> OnRangeSelected;
    std::function<void()> OnClickPressed;
    std::function<void(int64_t us)> OnClicked;
    // Keys the view does not use itself; true when the owner took the key.
    std::function<bool(int key, Qt::KeyboardModifiers modifiers)> OnKey;

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    bool event(QEvent* e) override;

private:
    double MinSpp() const; // 10 ms per pixel
    double MaxSpp() const; // the whole file across the width
    void Clamp();
    void SyncScrollBar();
    int64_t TotalSamples() const;
    int64_t RoundedUs(double x) const; // µs under x, to the millisecond

    const TWavePeaks* FPeaks = nullptr;
    QScrollBar* FScroll;
    double FViewStart = 0; // samples
    double FSpp = 1;       // samples per pixel
    bool FWhole = true;    // the whole file is shown (kept so on resize)
    int64_t FStartUs = 0, FEndUs = 0, FPlayUs = -1;

    enum class TDrag { None, Handle, Pending, Select } FDrag = TDrag::None;
    TEnd FDragEnd = TEnd::Start;
    int FPressX = 0;
    int64_t FAnchorUs = 0;
    bool FSyncing = false; // the scroll bar is being set from the view
};
