#pragma once

// TVelTrackbar: a horizontal range control with a position tick and a segment (start and end
// marker) on one track.
//
// Design
// - Main thread only, like every widget. The five 64-bit values are atomics so that a worker
//   thread (the cut) may read the segment while the user keeps dragging; nothing else is shared.
// - Values live in Min..Max and map linearly onto the span of the track between
//   TrackLeft + TrackLeftOffset and track right - TrackRightOffset (ValueToPixel/PixelToValue,
//   rounding half to even).
//   Degenerate mapping: when Max <= Min or the span is zero or negative there is nothing to
//   scale, so every value maps to the left end of the span, clamped into the track rectangle,
//   and every pixel maps back to Min. The tick, both markers and their hit areas therefore stay
//   inside the track and drawable; the markers at Min/Max are drawn at the track's two ends.
// - Layout (window creation, resize, MarginOffsetX) measures the images and places the track;
//   the tick and marker pixels are then derived from the values again, so a new geometry never
//   shows a range other than the one held.
// - Every change of state ends in Redraw, which paints all layers into a back buffer in a fixed
//   order and then schedules one copy to the screen; the control never paints piecemeal, so it
//   does not flicker while a marker is dragged. Redraw also stores the marker and tick
//   rectangles that the mouse code (and the owner) hit-test against.
// - Owner events are std::function members named On...; the owner's OnMouseDown/Move/Up run
//   before the control applies the same mouse event, so the owner sees the state before it.
// - Colours: TColor is 0x00BBGGRR; colour keys are held as opaque ARGB (ColorToARGB) and make
//   the matching RGB transparent in the tick, marker and cut images.

#include <QImage>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>

class QPainter;

using TColor = std::uint32_t; // 0x00BBGGRR

std::uint32_t ColorToARGB(TColor c);
TColor ARGBToColor(std::uint32_t argb);

// A client rectangle with exclusive right and bottom; a point is inside when
// Left <= x < Right and Top <= y < Bottom.
struct TVelRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    QRect ToQRect() const { return QRect(Left, Top, Right - Left, Bottom - Top); }
};

class TVelTrackbar : public QWidget {
    Q_OBJECT
public:
    enum class TDragMode { None, Tick, SegStart, SegEnd, Track };
    enum class TTickState { Normal, Down, Hot, Disabled };

    using TNotifyEvent = std::function<void(TVelTrackbar* Sender)>;
    using TMouseEvent = std::function<void(TVelTrackbar* Sender, Qt::MouseButton Button,
                                           Qt::KeyboardModifiers Shift, int X, int Y)>;
    using TMouseMoveEvent = std::function<void(TVelTrackbar* Sender, Qt::MouseButtons Buttons,
                                               Qt::KeyboardModifiers Shift, int X, int Y)>;
    using TKeyEvent =
        std::function<void(TVelTrackbar* Sender, int Key, Qt::KeyboardModifiers Shift)>;

    explicit TVelTrackbar(QWidget* owner = nullptr);
    ~TVelTrackbar() override;

    // Values
    qint64 Min() const { return FMin.load(std::memory_order_relaxed); }
    void SetMin(qint64 v);
    qint64 Max() const { return FMax.load(std::memory_order_relaxed); }
    void SetMax(qint64 v);
    qint64 Position() const { return FPosition.load(std::memory_order_relaxed); }
    void SetPosition(qint64 v);
    qint64 SegStartPos() const { return FSegStartPos.load(std::memory_order_relaxed); }
    void SetSegStartPos(qint64 v);
    qint64 SegEndPos() const { return FSegEndPos.load(std::memory_order_relaxed); }
    void SetSegEndPos(qint64 v);
    qint64 Step() const { return FStep; }
    void SetStep(qint64 v) { FStep = v; }

    // Geometry, in client pixels
    int TickOffsetY() const { return FTickOffsetY; }
    void SetTickOffsetY(int v) { FTickOffsetY = v; }
    int TrackOffsetY() const { return FTrackOffsetY; }
    void SetTrackOffsetY(int v);
    int SegOffsetY() const { return FSegOffsetY; }
    void SetSegOffsetY(int v) { FSegOffsetY = v; }
    int TrackOffsetX() const { return FTrackOffsetX; }
    void SetTrackOffsetX(int v) { FTrackOffsetX = v; }
    int MarginOffsetX() const { return FMarginOffsetX; }
    void SetMarginOffsetX(int v);
    int TrackLeftOffset() const { return FTrackLeftOffset; }
    void SetTrackLeftOffset(int v) { FTrackLeftOffset = v; }
    int TrackRightOffset() const { return FTrackRightOffset; }
    void SetTrackRightOffset(int v) { FTrackRightOffset = v; }

    // Behaviour
    bool CanDragTick() const { return FCanDragTick; }
    void SetCanDragTick(bool b) { FCanDragTick = b; }
    bool ShowSegment() const { return FShowSegment; }
    void SetShowSegment(bool b);
    bool ShowCut() const { return FShowCut; }
    void SetShowCut(bool b);
    bool UseBGImage() const { return FUseBGImage; }
    void SetUseBGImage(bool b) { FUseBGImage = b; }

    // Colours (TColor 0x00BBGGRR, or raw ARGB where named so)
    TColor BGColor() const { return FBGColor; }
    void SetBGColor(TColor c) { FBGColor = c; }
    std::uint32_t LeftBrushColor() const { return FLeftBrushColor; } // ARGB
    void SetLeftBrushColor(std::uint32_t argb) { FLeftBrushColor = argb; }
    std::uint32_t RightBrushColor() const { return FRightBrushColor; } // ARGB
    void SetRightBrushColor(std::uint32_t argb) { FRightBrushColor = argb; }
    TColor StartCutTransparency() const { return ARGBToColor(FStartCutKey); }
    void SetStartCutTransparency(TColor c) { FStartCutKey = ColorToARGB(c); }
    TColor EndCutTransparency() const { return ARGBToColor(FEndCutKey); }
    void SetEndCutTransparency(TColor c) { FEndCutKey = ColorToARGB(c); }
    TColor SegStartTransparency() const { return ARGBToColor(FSegStartKey); }
    void SetSegStartTransparency(TColor c) { FSegStartKey = ColorToARGB(c); }
    TColor SegEndTransparency() const { return ARGBToColor(FSegEndKey); }
    void SetSegEndTransparency(TColor c) { FSegEndKey = ColorToARGB(c); }
    TColor TickTransparency() const { return ARGBToColor(FTickKey); }
    void SetTickTransparency(TColor c) { FTickKey = ColorToARGB(c); }

    // Replacement pictures. A null picture leaves the current image in place; any alpha of a
    // picture is flattened onto black, so transparency comes from the colour keys.
    enum TImageRole {
        irTrack,
        irSegmentStart,
        irSegmentEnd,
        irTickUp,
        irTickDown,
        irTickHot,
        irTickDisable,
        irBGImage,
        irStartCut,
        irEndCut,
        irCount
    };
    const QImage& Picture(TImageRole role) const { return FPictures[role]; }
    void SetPicture(TImageRole role, const QImage& picture);
    void SetTickUp(const QImage& p) { SetPicture(irTickUp, p); }
    void SetTickDown(const QImage& p) { SetPicture(irTickDown, p); }
    void SetTickHot(const QImage& p) { SetPicture(irTickHot, p); }
    void SetTickDisable(const QImage& p) { SetPicture(irTickDisable, p); }
    void SetTrack(const QImage& p) { SetPicture(irTrack, p); }
    void SetSegmentStart(const QImage& p) { SetPicture(irSegmentStart, p); }
    void SetSegmentEnd(const QImage& p) { SetPicture(irSegmentEnd, p); }
    void SetStartCut(const QImage& p) { SetPicture(irStartCut, p); }
    void SetEndCut(const QImage& p) { SetPicture(irEndCut, p); }
    void SetBGImage(const QImage& p) { SetPicture(irBGImage, p); }

    // Mapping and painting
    int ValueToPixel(qint64 v) const;
    qint64 PixelToValue(int x) const;
    void UpdateLayout();
    void Redraw();

    // Geometry as last laid out / drawn; the marker and tick rectangles are the hit areas.
    int TrackLeft() const { return FTrackLeft; }
    int TrackWidth() const { return FTrackWidth; }
    int TickX() const { return FTickX; }
    int SegStartX() const { return FSegStartX; }
    int SegEndX() const { return FSegEndX; }
    TVelRect TrackRect() const { return FTrackRect; }
    TVelRect TickRect() const { return FTickRect; }
    TVelRect SegStartRect() const { return FSegStartRect; }
    TVelRect SegEndRect() const { return FSegEndRect; }
    TVelRect StartCutRect() const { return FStartCutRect; }
    TVelRect EndCutRect() const { return FEndCutRect; }
    TDragMode DragMode() const { return FDragMode; }
    TTickState TickState() const { return FTickState; }

    // Events of the control
    TNotifyEvent OnChange, OnStartChange, OnEndChange, OnTickChange;
    TMouseEvent OnTickMouseDown, OnTickMouseUp, OnSegStartMouseDown, OnSegStartMouseUp,
        OnSegendMouseDown, OnSegEndMouseUp;
    // The owner's own mouse and key handlers, raised before the control's processing
    TMouseEvent OnMouseDown, OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TNotifyEvent OnMouseLeave;
    TKeyEvent OnKeyDown, OnKeyUp;

protected:
    virtual void DoChange();
    virtual void DoStartChange();
    virtual void DoEndChange();
    virtual void DoTickChange();
    virtual void DoTickMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);
    virtual void DoTickMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);
    virtual void DoSegStartMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);
    virtual void DoSegStartMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);
    virtual void DoSegEndMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);
    virtual void DoSegEndMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y);

    void MoveTick(int x);
    void MoveSegStart(int x);
    void MoveSegEnd(int x);

    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

private:
    void EnsureCreated();
    void MeasureImages();
    void ClampPositionToSegment();
    void ConvertPicture(TImageRole role);
    void PaintLayers(QImage& target);
    void DrawKeyed(QPainter& p, TImageRole role, const TVelRect& r, std::uint32_t key, bool fade);
    static bool IsArrowKey(int key);

    std::atomic<qint64> FMin{0}, FMax{1000}, FPosition{0}, FSegStartPos{0}, FSegEndPos{1000};
    qint64 FStep = 0;

    int FTickOffsetY = 20, FTrackOffsetY = 20, FSegOffsetY = 20; // px
    int FTrackOffsetX = 0, FMarginOffsetX = 0;                   // px
    int FTrackLeftOffset = 0, FTrackRightOffset = 0;             // px
    bool FCanDragTick = true, FShowSegment = true, FShowCut = true, FUseBGImage = false;

    TColor FBGColor = 0xFFFFFF;
    std::uint32_t FLeftBrushColor = 0x653DF72D, FRightBrushColor = 0x65F5BCDA; // ARGB
    std::uint32_t FStartCutKey = 0xFFE7E7E7, FEndCutKey = 0xFFE7E7E7;          // ARGB
    std::uint32_t FSegStartKey = 0, FSegEndKey = 0, FTickKey = 0;              // ARGB, RGB compared

    QImage FPictures[irCount]; // as given by the owner
    QImage FImages[irCount];   // opaque RGB32 copies that are drawn; null = not valid

    // Image sizes taken at the last layout, px
    int FTickW = 0, FTickH = 0, FTrackH = 0, FSegStartW = 0, FSegStartH = 0, FSegEndW = 0,
        FSegEndH = 0, FStartCutW = 0, FStartCutH = 0, FEndCutW = 0, FEndCutH = 0;
    static constexpr int CutMarkerTop = 5; // px, top of both cut images

    int FTrackLeft = 0, FTrackWidth = 0; // px
    int FTickX = 0, FSegStartX = 0, FSegEndX = 0;
    TVelRect FTrackRect, FSegStartRect, FSegEndRect, FTickRect, FStartCutRect, FEndCutRect;

    bool FCreated = false;
    bool FMouseDown = false;
    TDragMode FDragMode = TDragMode::None;
    TTickState FTickState = TTickState::Normal;
    QImage FBackBuffer; // ARGB32 premultiplied, the control's size
};
