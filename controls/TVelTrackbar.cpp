#include "controls/TVelTrackbar.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <limits>

// The default artwork is compiled into this static library; its resources must be registered
// explicitly, from the global namespace.
static void InitControlsResources() {
    Q_INIT_RESOURCE(controls);
}

std::uint32_t ColorToARGB(TColor c) {
    const std::uint32_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

TColor ARGBToColor(std::uint32_t argb) {
    const std::uint32_t r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
    return r | (g << 8) | (b << 16);
}

namespace {

const char* const DefaultImageFiles[TVelTrackbar::irCount] = {
    ":/controls/Track.png",       ":/controls/SegmentStart.png",
    ":/controls/SegmentEnd.png",  ":/controls/TickUp.png",
    ":/controls/TickDown.png",    ":/controls/TickHot.png",
    ":/controls/TickDisable.png", nullptr,
    ":/controls/StartCut.png",    ":/controls/EndCut.png"};

constexpr std::uint32_t StartCutPenColor = 0xFF32654C;
constexpr std::uint32_t EndCutPenColor = 0xFF65324B;
constexpr double FadeOpacity = 0.8;
// The cut lines sit at fixed client rows, between the cut arrows and the track.
constexpr int CutLineTop = 15, CutLineBottom = 20;

// Converts a rounded floating value to an int without undefined overflow.
int ToInt(long double x) {
    return static_cast<int>(std::clamp<long double>(x, std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max()));
}

qint64 ToInt64(long double x) {
    // 2^63 is exactly representable; anything at or above it does not fit.
    constexpr long double Limit = 9223372036854775808.0L;
    if (!(x > -Limit))
        return std::numeric_limits<qint64>::min();
    if (!(x < Limit))
        return std::numeric_limits<qint64>::max();
    return static_cast<qint64>(x);
}

// The opaque copy of an image in which every pixel of the key's RGB becomes fully transparent.
QImage KeyedOut(const QImage& src, std::uint32_t key) {
    QImage out = src.convertToFormat(QImage::Format_ARGB32);
    const QRgb rgb = key & 0x00FFFFFFu;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((line[x] & 0x00FFFFFFu) == rgb)
                line[x] = 0;
    }
    return out;
}

template <typename Event, typename... Args> void Raise(const Event& event, Args... args) {
    if (event)
        event(args...);
}

} // namespace

TVelTrackbar::TVelTrackbar(QWidget* owner) : QWidget(owner) {
    static const bool resourcesRegistered = (InitControlsResources(), true);
    (void)resourcesRegistered;
    // Hover moves drive the hot tick, so moves must arrive without a pressed button.
    setMouseTracking(true);
    // Not in the tab chain; a press gives it the focus explicitly.
    setFocusPolicy(Qt::NoFocus);
    for (int role = 0; role < irCount; ++role)
        if (DefaultImageFiles[role])
            FImages[role] = QImage(QString::fromLatin1(DefaultImageFiles[role]))
                                .convertToFormat(QImage::Format_RGB32);
    resize(400, 40);
    UpdateLayout();
}

TVelTrackbar::~TVelTrackbar() = default;

// ---- values -------------------------------------------------------------------------------

void TVelTrackbar::SetMin(qint64 v) {
    FMin = v;
    if (Position() < v)
        FPosition = v;
}

void TVelTrackbar::SetMax(qint64 v) {
    // The owner sets the segment and the position right after a new maximum.
    FMax = v;
}

void TVelTrackbar::SetPosition(qint64 v) {
    qint64 p = v;
    if (v > Max())
        p = Max();
    else if (v < Min())
        p = Min();
    if (v < SegStartPos())
        p = SegStartPos();
    if (v > SegEndPos())
        p = SegEndPos();
    FPosition = p;
    FTickX = ValueToPixel(p);
    Redraw();
    DoTickChange();
}

void TVelTrackbar::SetSegStartPos(qint64 v) {
    const qint64 s = v < Min() ? Min() : (v > SegEndPos() ? SegEndPos() : v);
    FSegStartPos = s;
    if (Position() < s)
        SetPosition(s);
    FSegStartX = ValueToPixel(s);
    Redraw();
}

void TVelTrackbar::SetSegEndPos(qint64 v) {
    const qint64 e = v >= Max() ? Max() : (v < SegStartPos() ? SegStartPos() : v);
    FSegEndPos = e;
    if (e < Position())
        SetPosition(e);
    FSegEndX = ValueToPixel(e);
    Redraw();
}

void TVelTrackbar::SetTrackOffsetY(int v) {
    FTrackOffsetY = v;
    FTrackRect.Top = v;
    FTrackRect.Bottom = v + FTrackH;
}

void TVelTrackbar::SetMarginOffsetX(int v) {
    FMarginOffsetX = v;
    UpdateLayout();
    Redraw();
}

void TVelTrackbar::SetShowSegment(bool b) {
    FShowSegment = b;
    FSegStartPos = Min();
    FSegEndPos = Max();
    FSegStartX = ValueToPixel(Min());
    FSegEndX = ValueToPixel(Max());
    Redraw();
}

void TVelTrackbar::SetShowCut(bool b) {
    FShowCut = b;
    Redraw();
}

void TVelTrackbar::SetPicture(TImageRole role, const QImage& picture) {
    if (role < 0 || role >= irCount)
        return;
    FPictures[role] = picture;
    ConvertPicture(role);
}

// Pictures are flattened onto an opaque black bitmap: black is the default key colour of the
// tick and the markers, so a picture's transparent surround stays transparent with them.
void TVelTrackbar::ConvertPicture(TImageRole role) {
    const QImage& pic = FPictures[role];
    if (pic.isNull())
        return;
    QImage img(pic.size(), QImage::Format_RGB32);
    img.fill(Qt::black);
    QPainter p(&img);
    p.drawImage(0, 0, pic);
    p.end();
    FImages[role] = img;
}

// ---- mapping and layout -------------------------------------------------------------------

int TVelTrackbar::ValueToPixel(qint64 v) const {
    const int base = FTrackLeft + FTrackLeftOffset;
    const qint64 span = qint64(FTrackWidth) - FTrackLeftOffset - FTrackRightOffset;
    const qint64 mn = Min(), mx = Max();
    if (mx <= mn || span <= 0)
        return std::clamp(base, FTrackLeft, FTrackLeft + std::max(FTrackWidth, 0));
    // 128-bit so that values far apart cannot overflow before the division.
    const __int128 num = (static_cast<__int128>(v) - mn) * span;
    const long double x =
        static_cast<long double>(num) / static_cast<long double>(static_cast<__int128>(mx) - mn) +
        base;
    return ToInt(std::nearbyint(x)); // default rounding: half to even
}

qint64 TVelTrackbar::PixelToValue(int x) const {
    const int base = FTrackLeft + FTrackLeftOffset;
    const qint64 span = qint64(FTrackWidth) - FTrackLeftOffset - FTrackRightOffset;
    const qint64 mn = Min(), mx = Max();
    if (mx <= mn || span <= 0)
        return mn;
    const long double v = (static_cast<long double>(x) - base) / span *
                              (static_cast<long double>(mx) - static_cast<long double>(mn)) +
                          mn;
    return ToInt64(std::nearbyint(v));
}

void TVelTrackbar::MeasureImages() {
    auto take = [this](TImageRole role, int& w, int& h) {
        if (!FImages[role].isNull()) {
            w = FImages[role].width();
            h = FImages[role].height();
        }
    };
    take(irTickUp, FTickW, FTickH);
    int trackW = 0;
    take(irTrack, trackW, FTrackH);
    take(irSegmentStart, FSegStartW, FSegStartH);
    take(irSegmentEnd, FSegEndW, FSegEndH);
    take(irStartCut, FStartCutW, FStartCutH);
    take(irEndCut, FEndCutW, FEndCutH);
    if (!FImages[irSegmentStart].isNull())
        FTrackOffsetX = FImages[irSegmentStart].width();
    FTrackWidth = width() - 2 * FTrackOffsetX - 2 * FMarginOffsetX;
}

void TVelTrackbar::UpdateLayout() {
    MeasureImages();
    FTrackLeft = FMarginOffsetX + FSegStartW;
    FSegStartRect = {FMarginOffsetX, FSegOffsetY, FTrackLeft, FSegOffsetY + FSegStartH};
    FTrackRect = {FTrackLeft, FTrackOffsetY, FTrackLeft + FTrackWidth, FTrackOffsetY + FTrackH};
    FSegEndRect = {width() - FSegEndW - FMarginOffsetX, FSegOffsetY, width() - FMarginOffsetX,
                   FSegOffsetY + FSegEndH};
    FStartCutRect = {FTrackLeft - FStartCutW, CutMarkerTop, FTrackLeft, CutMarkerTop + FStartCutH};
    FEndCutRect = {FSegEndRect.Left, CutMarkerTop, FSegEndRect.Left + FEndCutW,
                   CutMarkerTop + FEndCutH};
    // A new geometry moves every pixel; the values stay, so the pixels are derived from them.
    // Leaving them at the track ends would show a range other than the one held, and a drag
    // starting from such a pixel would move the values to where nothing was drawn.
    FTickX = ValueToPixel(Position());
    FSegStartX = ValueToPixel(SegStartPos());
    FSegEndX = ValueToPixel(SegEndPos());
}

// ---- painting -----------------------------------------------------------------------------

void TVelTrackbar::EnsureCreated() {
    if (FCreated)
        return;
    for (int role = 0; role < irCount; ++role)
        ConvertPicture(static_cast<TImageRole>(role));
    FBackBuffer = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    FBackBuffer.fill(Qt::transparent);
    UpdateLayout();
    FCreated = true;
}

void TVelTrackbar::Redraw() {
    if (!FCreated)
        return;
    if (FUseBGImage && FImages[irBGImage].isNull())
        return;
    PaintLayers(FBackBuffer);
    // One copy of the finished buffer per change; the screen never sees a half-painted control.
    update();
}

void TVelTrackbar::DrawKeyed(QPainter& p, TImageRole role, const TVelRect& r, std::uint32_t key,
                             bool fade) {
    const QImage& img = FImages[role];
    if (img.isNull())
        return;
    // Natural size: the destination's size taken from the image's top-left corner.
    const QRect src = QRect(0, 0, r.Width(), r.Height()).intersected(img.rect());
    if (src.isEmpty())
        return;
    p.setOpacity(fade ? FadeOpacity : 1.0);
    p.drawImage(QPoint(r.Left, r.Top), KeyedOut(img.copy(src), key));
    p.setOpacity(1.0);
}

void TVelTrackbar::PaintLayers(QImage& target) {
    if (target.isNull())
        return;
    QPainter p(&target);
    const QRect all(0, 0, width(), height());

    if (FUseBGImage)
        p.drawImage(all, FImages[irBGImage]);
    else
        p.fillRect(all, QColor::fromRgba(ColorToARGB(FBGColor)));

    if (!FImages[irTrack].isNull() && FTrackRect.Width() > 0 && FTrackRect.Height() > 0)
        p.drawImage(FTrackRect.ToQRect(), FImages[irTrack]);

    const int tickLeft = FTickX - FTickW / 2;
    FTickRect = {tickLeft, FTickOffsetY, tickLeft + FTickW, FTickOffsetY + FTickH};
    // Indexed by TTickState.
    static constexpr TImageRole TickRoles[] = {irTickUp, irTickDown, irTickHot, irTickDisable};
    DrawKeyed(p, TickRoles[static_cast<int>(FTickState)], FTickRect, FTickKey, false);

    if (!FShowSegment)
        return;

    // A start marker at Min hugs the margin even when a press has moved its pixel.
    if (SegStartPos() == Min())
        FSegStartRect = {FMarginOffsetX, FSegOffsetY, FMarginOffsetX + FSegStartW,
                         FSegOffsetY + FSegStartH};
    else
        FSegStartRect = {FSegStartX - FSegStartW, FSegOffsetY, FSegStartX,
                         FSegOffsetY + FSegStartH};
    DrawKeyed(p, irSegmentStart, FSegStartRect, FSegStartKey, true);

    if (FShowCut) {
        FStartCutRect = {FSegStartX - FStartCutW, CutMarkerTop, FSegStartX,
                         CutMarkerTop + FStartCutH};
        DrawKeyed(p, irStartCut, FStartCutRect, FStartCutKey, true);
        p.setPen(QPen(QColor::fromRgba(StartCutPenColor), 1.0));
        p.drawLine(FSegStartX - 1, CutLineTop, FSegStartX - 1, CutLineBottom);
        const int w = FSegStartX - FSegStartW - FTrackRect.Left;
        if (w > 0)
            p.fillRect(QRect(FTrackRect.Left, FTrackRect.Top, w, FTrackH),
                       QColor::fromRgba(FLeftBrushColor));
    }

    const int endLeft = SegEndPos() == Max() ? FTrackRect.Right : FSegEndX;
    FSegEndRect = {endLeft, FSegOffsetY, endLeft + FSegEndW, FSegOffsetY + FSegEndH};
    DrawKeyed(p, irSegmentEnd, FSegEndRect, FSegEndKey, true);

    if (FShowCut) {
        FEndCutRect = {FSegEndX, CutMarkerTop, FSegEndX + FEndCutW, CutMarkerTop + FEndCutH};
        DrawKeyed(p, irEndCut, FEndCutRect, FEndCutKey, true);
        p.setPen(QPen(QColor::fromRgba(EndCutPenColor), 1.0));
        p.drawLine(FSegEndX, CutLineTop, FSegEndX, CutLineBottom);
        const int x = FSegEndX + FSegEndW;
        const int w = FTrackRect.Right - x;
        if (w > 0)
            p.fillRect(QRect(x, FTrackRect.Top, w, FTrackH), QColor::fromRgba(FRightBrushColor));
    }
}

void TVelTrackbar::paintEvent(QPaintEvent*) {
    EnsureCreated();
    if (!(FUseBGImage && FImages[irBGImage].isNull()))
        PaintLayers(FBackBuffer);
    if (FBackBuffer.isNull())
        return;
    QPainter p(this);
    p.drawImage(0, 0, FBackBuffer);
}

void TVelTrackbar::resizeEvent(QResizeEvent*) {
    if (!FCreated)
        return;
    FBackBuffer = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    FBackBuffer.fill(Qt::transparent);
    UpdateLayout();
    Redraw();
}

void TVelTrackbar::showEvent(QShowEvent*) {
    EnsureCreated();
}

// ---- events -------------------------------------------------------------------------------

void TVelTrackbar::DoChange() {
    Raise(OnChange, this);
}
void TVelTrackbar::DoStartChange() {
    Raise(OnStartChange, this);
}
void TVelTrackbar::DoEndChange() {
    Raise(OnEndChange, this);
}
void TVelTrackbar::DoTickChange() {
    Raise(OnTickChange, this);
}
void TVelTrackbar::DoTickMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnTickMouseDown, this, b, s, x, y);
}
void TVelTrackbar::DoTickMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnTickMouseUp, this, b, s, x, y);
}
void TVelTrackbar::DoSegStartMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnSegStartMouseDown, this, b, s, x, y);
}
void TVelTrackbar::DoSegStartMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnSegStartMouseUp, this, b, s, x, y);
}
void TVelTrackbar::DoSegEndMouseDown(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnSegendMouseDown, this, b, s, x, y);
}
void TVelTrackbar::DoSegEndMouseUp(Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
    Raise(OnSegEndMouseUp, this, b, s, x, y);
}

// ---- mouse --------------------------------------------------------------------------------

namespace {
QPoint ClientPoint(const QMouseEvent* e) {
    const QPointF p = e->position();
    return QPoint(qFloor(p.x()), qFloor(p.y()));
}
} // namespace

void TVelTrackbar::mousePressEvent(QMouseEvent* e) {
    const QPoint pt = ClientPoint(e);
    const int X = pt.x(), Y = pt.y();
    // The owner sees the state before this press.
    Raise(OnMouseDown, this, e->button(), e->modifiers(), X, Y);
    FMouseDown = true;
    setFocus(Qt::MouseFocusReason);

    // A press moves the grabbed thing's pixel to the mouse; its value follows at the first move.
    if (e->button() == Qt::LeftButton) {
        if (FSegStartRect.Contains(X, Y) && FShowSegment) {
            FDragMode = TDragMode::SegStart;
            FSegStartX = X;
            FSegStartRect.Left = X - FSegStartW;
            FSegStartRect.Right = X;
            DoSegStartMouseDown(e->button(), e->modifiers(), X, Y);
            Redraw();
            return;
        }
        if (FSegEndRect.Contains(X, Y) && FShowSegment) {
            FDragMode = TDragMode::SegEnd;
            FSegEndX = X;
            FSegEndRect.Left = X;
            FSegEndRect.Right = X + FSegEndW;
            DoSegEndMouseDown(e->button(), e->modifiers(), X, Y);
            Redraw();
            return;
        }
        if (FTickRect.Contains(X, Y) && FCanDragTick) {
            FDragMode = TDragMode::Tick;
            FTickState = TTickState::Down;
            FTickX = X;
            FTickRect.Left = X - FTickW / 2;
            FTickRect.Right = FTickRect.Left + FTickW;
            DoTickMouseDown(e->button(), e->modifiers(), X, Y);
            Redraw();
            return;
        }
        if (FTrackRect.Contains(X, Y)) {
            FDragMode = TDragMode::Track;
            Redraw();
            return;
        }
    }
    FDragMode = TDragMode::None;
    Redraw();
}

void TVelTrackbar::mouseMoveEvent(QMouseEvent* e) {
    const QPoint pt = ClientPoint(e);
    const int X = pt.x(), Y = pt.y();
    // The owner sees the values before this move is applied.
    Raise(OnMouseMove, this, e->buttons(), e->modifiers(), X, Y);

    if (FMouseDown) {
        switch (FDragMode) {
        case TDragMode::Tick:
            MoveTick(X);
            DoTickChange();
            DoChange();
            break;
        case TDragMode::SegStart:
            MoveSegStart(X);
            DoStartChange();
            break;
        case TDragMode::SegEnd:
            MoveSegEnd(X);
            DoEndChange();
            break;
        case TDragMode::Track:
            DoChange();
            break;
        case TDragMode::None:
            break;
        }
    } else if (FSegStartRect.Contains(X, Y) || FSegEndRect.Contains(X, Y)) {
        FTickState = TTickState::Normal;
    } else {
        FTickState = FTickRect.Contains(X, Y) ? TTickState::Hot : TTickState::Normal;
    }
    Redraw();
}

void TVelTrackbar::mouseReleaseEvent(QMouseEvent* e) {
    const QPoint pt = ClientPoint(e);
    const int X = pt.x(), Y = pt.y();
    Raise(OnMouseUp, this, e->button(), e->modifiers(), X, Y);
    FMouseDown = false;
    switch (FDragMode) {
    case TDragMode::Tick:
        FTickState = TTickState::Normal;
        DoTickMouseUp(e->button(), e->modifiers(), X, Y);
        break;
    case TDragMode::SegStart:
        DoSegStartMouseUp(e->button(), e->modifiers(), X, Y);
        break;
    case TDragMode::SegEnd:
        DoSegEndMouseUp(e->button(), e->modifiers(), X, Y);
        break;
    case TDragMode::Track:
    case TDragMode::None:
        break;
    }
    Redraw();
}

void TVelTrackbar::leaveEvent(QEvent*) {
    // The hot tick stays until the next move over the control.
    Raise(OnMouseLeave, this);
}

// Pixels are rounded to values, so a pixel that sits on a marker can map a little past that
// marker's value (and a press without a move leaves a marker's pixel off its value). The drags
// therefore keep Min <= SegStartPos <= Position <= SegEndPos <= Max on the values themselves: a
// cut must never get an inverted range or one outside the file.
void TVelTrackbar::ClampPositionToSegment() {
    FPosition = std::min(std::max(Position(), SegStartPos()), SegEndPos());
}

void TVelTrackbar::MoveTick(int x) {
    const int lo = FTrackLeft + FTrackLeftOffset;
    const int hi = FTrackRect.Right - FTrackRightOffset;
    FTickX = x;
    if (FTickX > hi)
        FTickX = hi;
    else if (FTickX < lo)
        FTickX = lo;
    if (FTickX > FSegEndX)
        FTickX = FSegEndX;
    else if (FTickX < FSegStartX)
        FTickX = FSegStartX;
    FPosition = PixelToValue(FTickX);
    ClampPositionToSegment();
}

void TVelTrackbar::MoveSegStart(int x) {
    FSegStartX = x;
    if (FSegStartX > FSegEndX)
        FSegStartX = FSegEndX;
    // The tick is carried along without a tick event: the owner hears about the segment.
    if (FTickX < FSegStartX) {
        FTickX = FSegStartX;
        FPosition = PixelToValue(FTickX);
    }
    // A press without a move can leave the other marker's pixel off the track, so both ends of
    // the track bound the marker.
    FSegStartX = std::clamp(FSegStartX, FTrackLeft, std::max(FTrackLeft, FTrackRect.Right));
    FSegStartPos = std::min(std::max(PixelToValue(FSegStartX), Min()), SegEndPos());
    ClampPositionToSegment();
}

void TVelTrackbar::MoveSegEnd(int x) {
    FSegEndX = x;
    if (FSegEndX < FSegStartX)
        FSegEndX = FSegStartX;
    if (FSegEndX < FTickX) {
        FTickX = FSegEndX;
        FPosition = PixelToValue(FTickX);
    }
    FSegEndX = std::clamp(FSegEndX, FTrackLeft, std::max(FTrackLeft, FTrackRect.Right));
    FSegEndPos = std::max(std::min(PixelToValue(FSegEndX), Max()), SegStartPos());
    ClampPositionToSegment();
}

// ---- keyboard -----------------------------------------------------------------------------

bool TVelTrackbar::IsArrowKey(int key) {
    return key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right;
}

bool TVelTrackbar::event(QEvent* e) {
    // Arrow keys must not be taken by shortcuts or focus navigation while the control has the
    // focus; claiming them here delivers them to keyPressEvent instead.
    if (e->type() == QEvent::ShortcutOverride && IsArrowKey(static_cast<QKeyEvent*>(e)->key())) {
        e->accept();
        return true;
    }
    return QWidget::event(e);
}

void TVelTrackbar::keyPressEvent(QKeyEvent* e) {
    Raise(OnKeyDown, this, e->key(), e->modifiers());
    // The control acts on no key; arrows stop here so no parent moves the focus with them.
    e->setAccepted(IsArrowKey(e->key()));
}

void TVelTrackbar::keyReleaseEvent(QKeyEvent* e) {
    Raise(OnKeyUp, this, e->key(), e->modifiers());
    e->setAccepted(IsArrowKey(e->key()));
}
