#include "app/TWaveView.h"

#include "media/decode/TWavePeaks.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {
constexpr int ScrollBarHeight = 14; // px
constexpr int HandleGrab = 4;       // px either side of a handle that grab it
constexpr int DragThreshold = 3;    // px of movement that make a press a selection
constexpr double WheelZoom = 1.25;  // per wheel step
const QColor Background(0xF4, 0xF7, 0xF8);
const QColor ExactWave(0x2A, 0x5D, 0x8F);
const QColor EstimatedWave(0xA8, 0xBE, 0xD2);
const QColor Clipped(0xD0, 0x20, 0x20);
const QColor Outside(0x60, 0x60, 0x60, 0x50);
const QColor HandleColor(0x1F, 0x9D, 0x3A);
const QColor PlayColor(0xE0, 0x7A, 0x00);
} // namespace

TWaveView::TWaveView(QWidget* parent)
    : QWidget(parent), FScroll(new QScrollBar(Qt::Horizontal, this)) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(FScroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!FSyncing)
            ScrollTo(double(v) * FSpp);
    });
}

void TWaveView::SetPeaks(const TWavePeaks* peaks) {
    FPeaks = peaks;
    ShowWhole();
}

int64_t TWaveView::TotalSamples() const {
    return FPeaks ? FPeaks->TotalSamples() : 0;
}

int TWaveView::WaveHeight() const {
    return std::max(0, height() - ScrollBarHeight);
}

double TWaveView::MinSpp() const {
    // 10 ms per pixel; a file shorter than the width at that scale fills the width instead.
    const double tenMs = FPeaks && FPeaks->Rate() > 0 ? FPeaks->Rate() / 100.0 : 1.0;
    return std::min(tenMs, MaxSpp());
}

double TWaveView::MaxSpp() const {
    return std::max(1e-3, double(TotalSamples()) / std::max(1, width()));
}

void TWaveView::Clamp() {
    FSpp = std::clamp(FSpp, MinSpp(), MaxSpp());
    const double span = FSpp * width();
    FViewStart = std::clamp(FViewStart, 0.0, std::max(0.0, double(TotalSamples()) - span));
    FWhole = FSpp >= MaxSpp() && FViewStart <= 0;
    SyncScrollBar();
    update();
}

void TWaveView::SyncScrollBar() {
    FSyncing = true;
    const int pageColumns = std::max(1, width());
    const int columns = int(std::min<double>(TotalSamples() / FSpp, 1e9));
    FScroll->setRange(0, std::max(0, columns - pageColumns));
    FScroll->setPageStep(pageColumns);
    FScroll->setSingleStep(std::max(1, pageColumns / 10));
    FScroll->setValue(int(FViewStart / FSpp));
    FSyncing = false;
}

void TWaveView::ZoomAt(double factor, int x) {
    if (factor <= 0)
        return;
    const double sample = FViewStart + x * FSpp;
    FSpp = std::clamp(FSpp / factor, MinSpp(), MaxSpp());
    FViewStart = sample - x * FSpp;
    Clamp();
}

void TWaveView::ShowWhole() {
    FSpp = MaxSpp();
    FViewStart = 0;
    Clamp();
}

void TWaveView::ScrollTo(double firstSample) {
    FViewStart = firstSample;
    Clamp();
}

void TWaveView::ShowSpan(int64_t fromUs, int64_t toUs) {
    if (!FPeaks || FPeaks->Rate() <= 0 || toUs <= fromUs)
        return;
    const double rate = FPeaks->Rate();
    FSpp = (toUs - fromUs) * rate / 1e6 / std::max(1, width());
    FViewStart = fromUs * rate / 1e6;
    Clamp();
}

double TWaveView::UsToX(int64_t us) const {
    if (!FPeaks || FPeaks->Rate() <= 0)
        return 0;
    return (double(us) * FPeaks->Rate() / 1e6 - FViewStart) / FSpp;
}

int64_t TWaveView::XToUs(double x) const {
    if (!FPeaks || FPeaks->Rate() <= 0)
        return 0;
    const double sample = std::clamp(FViewStart + x * FSpp, 0.0, double(TotalSamples()));
    return int64_t(std::llround(sample * 1e6 / FPeaks->Rate()));
}

int64_t TWaveView::RoundedUs(double x) const {
    // Whole milliseconds, except the audio's own end, which may fall between two.
    const int64_t ms = (XToUs(x) + 500) / 1000 * 1000;
    return std::min(ms, FPeaks ? FPeaks->DurationUs() : 0);
}

void TWaveView::SetRange(int64_t startUs, int64_t endUs) {
    FStartUs = startUs;
    FEndUs = endUs;
    update();
}

void TWaveView::SetPlayPosition(int64_t us) {
    if (us == FPlayUs)
        return;
    FPlayUs = us;
    update();
}

void TWaveView::resizeEvent(QResizeEvent*) {
    FScroll->setGeometry(0, height() - ScrollBarHeight, width(), ScrollBarHeight);
    if (FWhole)
        ShowWhole();
    else
        Clamp();
}

void TWaveView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int h = WaveHeight();
    p.fillRect(0, 0, width(), h, Background);
    if (!FPeaks || FPeaks->TotalSamples() <= 0)
        return;
    const double mid = (h - 1) / 2.0, scale = (h - 2) / 2.0;
    p.setPen(QColor(0xC8, 0xD0, 0xD6));
    p.drawLine(0, int(mid), width(), int(mid));
    for (int x = 0; x < width(); ++x) {
        const int64_t from = int64_t(std::floor(FViewStart + x * FSpp));
        const int64_t to = int64_t(std::floor(FViewStart + (x + 1) * FSpp));
        const TPeakRange r = FPeaks->Range(from, std::max(to, from + 1));
        if (!r.Known)
            continue;
        const bool clipped = r.Exact && (r.Max >= 1.0f || r.Min <= -1.0f);
        p.setPen(clipped ? Clipped : r.Exact ? ExactWave : EstimatedWave);
        const int top = int(std::lround(mid - std::clamp(r.Max, -1.0f, 1.0f) * scale));
        const int bottom = int(std::lround(mid - std::clamp(r.Min, -1.0f, 1.0f) * scale));
        p.drawLine(x, top, x, std::max(top, bottom));
    }
    // Outside the range, shaded; the handles on its ends.
    const double sx = UsToX(FStartUs), ex = UsToX(FEndUs);
    if (sx > 0)
        p.fillRect(QRectF(0, 0, std::min<double>(sx, width()), h), Outside);
    if (ex < width())
        p.fillRect(QRectF(std::max(0.0, ex), 0, width() - std::max(0.0, ex), h), Outside);
    for (double hx : {sx, ex}) {
        if (hx < -HandleGrab || hx > width() + HandleGrab)
            continue;
        const int xi = int(std::lround(hx));
        p.setPen(QPen(HandleColor, 2));
        p.drawLine(xi, 0, xi, h);
        p.setBrush(HandleColor);
        const QPoint tri[] = {{xi - 5, 0}, {xi + 5, 0}, {xi, 7}};
        p.drawPolygon(tri, 3);
    }
    if (FPlayUs >= 0) {
        const double px = UsToX(FPlayUs);
        if (px >= 0 && px < width()) {
            p.setPen(QPen(PlayColor, 1));
            p.drawLine(int(px), 0, int(px), h);
        }
    }
}

void TWaveView::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !FPeaks || e->position().y() >= WaveHeight())
        return;
    const double x = e->position().x();
    FPressX = int(x);
    const double sx = UsToX(FStartUs), ex = UsToX(FEndUs);
    // The nearer handle wins where both are in reach (a range a pixel wide).
    if (std::fabs(x - sx) <= HandleGrab || std::fabs(x - ex) <= HandleGrab) {
        FDrag = TDrag::Handle;
        FDragEnd = std::fabs(x - sx) <= std::fabs(x - ex) ? TEnd::Start : TEnd::End;
        return;
    }
    FDrag = TDrag::Pending;
    FAnchorUs = RoundedUs(x);
    if (OnClickPressed)
        OnClickPressed();
}

void TWaveView::mouseMoveEvent(QMouseEvent* e) {
    const double x = e->position().x();
    const double sx = UsToX(FStartUs), ex = UsToX(FEndUs);
    if (FDrag == TDrag::None) {
        const bool near = std::fabs(x - sx) <= HandleGrab || std::fabs(x - ex) <= HandleGrab;
        setCursor(near ? Qt::SizeHorCursor : Qt::IBeamCursor);
        return;
    }
    if (FDrag == TDrag::Pending && std::abs(int(x) - FPressX) >= DragThreshold)
        FDrag = TDrag::Select;
    const int64_t us = RoundedUs(x);
    if (FDrag == TDrag::Handle && OnHandleMoved)
        OnHandleMoved(FDragEnd, us);
    else if (FDrag == TDrag::Select && OnRangeSelected)
        OnRangeSelected(std::min(FAnchorUs, us), std::max(FAnchorUs, us));
}

void TWaveView::mouseReleaseEvent(QMouseEvent* e) {
    const TDrag drag = FDrag;
    FDrag = TDrag::None;
    if (drag == TDrag::Pending && OnClicked)
        OnClicked(RoundedUs(e->position().x()));
}

void TWaveView::wheelEvent(QWheelEvent* e) {
    const int steps = e->angleDelta().y() / 120 != 0 ? e->angleDelta().y() / 120
                                                     : (e->angleDelta().y() > 0 ? 1 : -1);
    if (e->angleDelta().y() == 0 && e->angleDelta().x() == 0)
        return;
    if (e->modifiers() & Qt::ControlModifier)
        ZoomAt(std::pow(WheelZoom, steps), int(e->position().x()));
    else
        ScrollTo(FViewStart - steps * FSpp * width() / 10.0);
    e->accept();
}

bool TWaveView::event(QEvent* e) {
    // The arrows and the range keys are the view's while it has the focus, not focus moves.
    if (e->type() == QEvent::ShortcutOverride) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Home ||
            key == Qt::Key_End || key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
            e->accept();
            return true;
        }
    }
    return QWidget::event(e);
}

void TWaveView::keyPressEvent(QKeyEvent* e) {
    const QPoint pointer = mapFromGlobal(QCursor::pos());
    const int x = rect().contains(pointer) ? pointer.x() : width() / 2;
    switch (e->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ZoomAt(2.0, x);
        return;
    case Qt::Key_Minus:
        ZoomAt(0.5, x);
        return;
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_0:
        ShowWhole();
        return;
    default:
        break;
    }
    if (OnKey && OnKey(e->key(), e->modifiers()))
        return;
    QWidget::keyPressEvent(e);
}
