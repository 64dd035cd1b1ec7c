#include "app/TWaveAdjust.h"

#include "app/TRecentFolders.h"
#include "controls/TVelTrackbar.h"
#include "job/CutJob.h"
#include "job/SourceSteps.h"
#include "job/TimeTexts.h"
#include "media/decode/TFFDecoder.h"
#include "media/play/TFFPlayer.h"

#include <QAction>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr char ShownKey[] = "view/waveform";
constexpr int64_t Second = AppTimeBase;
constexpr int64_t FineStep = 10000; // µs, Shift+arrow
constexpr int64_t PageStep = 10 * Second;

QString TimeText(int64_t us, bool exact) {
    return exact ? FormatExactTime(us) : FormatSeconds(MicrosecondsToSeconds(us));
}

// Shows text in a time label. hh:mm:ss fits between the group's edge and the trackbar (or the
// trackbar and the other edge) in the window's font; with milliseconds the font shrinks until it
// does, the start label keeping its right side against the trackbar.
void ShowTime(QLabel* label, const QString& text, bool start) {
    const int left = start ? 12 : 315, top = 24;  // where the window puts the label
    const int room = start ? 61 - 2 : 372 - left; // px up to the trackbar / the group's edge
    QFont font = label->parentWidget()->font();
    if (text.size() > 8)
        while (font.pointSizeF() > 5 && QFontMetrics(font).horizontalAdvance(text) > room)
            font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
    label->setText(text);
    label->adjustSize();
    if (text.size() <= 8) {
        label->move(left, top);
        return;
    }
    const int x = start ? std::max(2, 61 - label->width()) : left;
    label->move(x,
                top + (QFontMetrics(label->parentWidget()->font()).height() - label->height()) / 2);
}
} // namespace

TWaveAdjust::TWaveAdjust(const TWaveAdjustParts& parts)
    : F(parts), FSettings(std::make_unique<QSettings>(TRecentFolders::DefaultFileName(),
                                                      QSettings::IniFormat)) {
    FPanel = new QFrame(F.Client);
    FPanel->setObjectName(QStringLiteral("pnlWave"));
    FPanel->hide();
    FView = new TWaveView(FPanel);
    FView->setObjectName(QStringLiteral("Waveform"));
    auto* layout = new QVBoxLayout(FPanel);
    layout->setContentsMargins(8, 0, 8, 6);
    layout->addWidget(FView);
    FView->SetPeaks(&FPeaks);

    mnView = new QMenu(QStringLiteral("View"), F.MenuBar);
    F.MenuBar->insertMenu(F.Before, mnView);
    Waveform1 = mnView->addAction(QStringLiteral("Waveform"));
    Waveform1->setCheckable(true);
    // F8 has no meaning in the desktop conventions (Qt's standard keys) of any platform.
    Waveform1->setShortcut(QKeySequence(Qt::Key_F8));
    connect(Waveform1, &QAction::toggled, this, &TWaveAdjust::SetShown);

    FScan.OnLayout = [this](const TWaveLayout& layout) {
        FPeaks.Reset(layout.Rate, layout.TotalSamples);
        FView->SetPeaks(&FPeaks);
        ShowRange();
    };
    FScan.OnChunk = [this](const TWaveChunk& chunk) {
        FPeaks.Store(chunk.FirstBin, chunk.Min, chunk.Max, chunk.Exact);
        FView->PeaksChanged();
    };
    FScan.OnFinished = [this](bool complete) { FScanDone = complete; };

    FView->OnHandleMoved = [this](TWaveView::TEnd end, int64_t us) {
        end == TWaveView::TEnd::Start ? SetStartUs(us) : SetEndUs(us);
    };
    FView->OnRangeSelected = [this](int64_t startUs, int64_t endUs) {
        // The end first when the new range lies after the old one, so neither end is stopped
        // by the other on the way.
        if (startUs > EndUs()) {
            SetEndUs(endUs);
            SetStartUs(startUs);
        } else {
            SetStartUs(startUs);
            SetEndUs(endUs);
        }
    };
    FView->OnClickPressed = [this] { F.Player->Pause(); };
    FView->OnClicked = [this](int64_t us) {
        us = std::clamp(us, StartUs(), std::max(StartUs(), EndUs()));
        F.Trackbar->SetPosition(std::min<int64_t>(F.Trackbar->Max(), (us + Second / 2) / Second));
        FPositionUs = us;
        if (FView->PlayPosition() >= 0)
            FView->SetPlayPosition(us);
        F.Player->Seek(0, false, us);
        F.Player->Resume();
    };
    FView->OnKey = [this](int key, Qt::KeyboardModifiers modifiers) {
        return HandleKey(key, modifiers);
    };

    F.Trackbar->OnKeyDown = [this](TVelTrackbar*, int key, Qt::KeyboardModifiers modifiers) {
        HandleKey(key, modifiers);
    };
    F.Trackbar->OnSegStartMouseDown = [this](TVelTrackbar*, Qt::MouseButton, Qt::KeyboardModifiers,
                                             int, int) { FActive = TWaveView::TEnd::Start; };
    F.Trackbar->OnSegendMouseDown = [this](TVelTrackbar*, Qt::MouseButton, Qt::KeyboardModifiers,
                                           int, int) { FActive = TWaveView::TEnd::End; };
    F.Trackbar->OnTickChange = [this](TVelTrackbar* bar) {
        FPositionUs = SecondsToMicroseconds(bar->Position());
    };
    F.StartLabel->installEventFilter(this);
    F.EndLabel->installEventFilter(this);
}

void TWaveAdjust::RestoreShown() {
    if (FSettings->value(QLatin1String(ShownKey), false).toBool())
        SetShown(true);
}

TWaveAdjust::~TWaveAdjust() {
    FScan.Stop();
    CloseEditor();
    // The view and the trackbar go later, with the window's widgets: nothing of theirs may
    // reach the peaks or this object any more.
    FView->SetPeaks(nullptr);
    FView->OnHandleMoved = nullptr;
    FView->OnRangeSelected = nullptr;
    FView->OnClickPressed = nullptr;
    FView->OnClicked = nullptr;
    FView->OnKey = nullptr;
    F.Trackbar->OnKeyDown = nullptr;
    F.Trackbar->OnSegStartMouseDown = nullptr;
    F.Trackbar->OnSegendMouseDown = nullptr;
    F.Trackbar->OnTickChange = nullptr;
}

void TWaveAdjust::SetShown(bool shown) {
    if (Waveform1->isChecked() != shown)
        Waveform1->setChecked(shown); // comes back here through toggled
    if (FShown == shown)
        return;
    FShown = shown;
    FSettings->setValue(QLatin1String(ShownKey), shown);
    FSettings->sync();
    FPanel->setVisible(shown);
    F.SetPanelHeight(shown ? PanelHeight : 0);
    if (shown)
        EnsureScan();
    else if (!FScanDone)
        FScan.Stop(); // begun again from the start when shown again
}

void TWaveAdjust::EnsureScan() {
    if (!FShown || FFile.isEmpty() || FScanDone || FScan.Running())
        return;
    FPeaks.Reset(0, 0);
    FView->SetPeaks(&FPeaks);
    if (F.Decoder->LibrariesLoaded())
        FScan.Start(FFile);
}

void TWaveAdjust::SourceOpened(const QString& fileName) {
    SourceClosed();
    FFile = fileName;
    EnsureScan();
    ShowRange();
}

void TWaveAdjust::SourceClosed() {
    CloseEditor();
    FScan.Stop();
    FFile.clear();
    FScanDone = false;
    FPeaks.Reset(0, 0);
    FView->SetPeaks(&FPeaks);
    FStartExact = FEndExact = false;
    FPositionUs = 0;
    FActive = TWaveView::TEnd::Start;
    FView->SetPlayPosition(-1);
}

void TWaveAdjust::TrackbarStartMoved() {
    FStartExact = false;
    FActive = TWaveView::TEnd::Start;
    ShowRange();
}

void TWaveAdjust::TrackbarEndMoved() {
    FEndExact = false;
    FActive = TWaveView::TEnd::End;
    ShowRange();
}

void TWaveAdjust::RangeRestored() {
    FStartExact = FEndExact = false;
    ShowRange();
}

void TWaveAdjust::PlayPosition(int64_t us) {
    FPositionUs = us;
    FView->SetPlayPosition(us);
}

void TWaveAdjust::PlayStopped() {
    FView->SetPlayPosition(-1);
}

int64_t TWaveAdjust::AudioEndUs() const {
    // The decoded length once known; until then the header's, in the trackbar's seconds.
    return FPeaks.Rate() > 0 ? FPeaks.DurationUs() : SecondsToMicroseconds(F.Trackbar->Max());
}

bool TWaveAdjust::StartExact() const {
    const int64_t nearest = std::min<int64_t>(F.Trackbar->Max(), (FStartUs + Second / 2) / Second);
    return FStartExact && nearest == F.Trackbar->SegStartPos();
}

bool TWaveAdjust::EndExact() const {
    const int64_t nearest = std::min<int64_t>(F.Trackbar->Max(), (FEndUs + Second / 2) / Second);
    return FEndExact && nearest == F.Trackbar->SegEndPos();
}

int64_t TWaveAdjust::StartUs() const {
    return StartExact() ? FStartUs : SecondsToMicroseconds(F.Trackbar->SegStartPos());
}

int64_t TWaveAdjust::EndUs() const {
    return EndExact() ? FEndUs : SecondsToMicroseconds(F.Trackbar->SegEndPos());
}

int64_t TWaveAdjust::ViewEndUs() const {
    // A range that reaches the trackbar's end is cut to where the audio really ends.
    if (!EndExact() && F.Trackbar->SegEndPos() >= F.Trackbar->Max())
        return std::max(AudioEndUs(), SecondsToMicroseconds(F.Trackbar->Max()));
    return EndUs();
}

void TWaveAdjust::SetStartUs(int64_t us) {
    us = std::clamp<int64_t>(us, 0, std::max<int64_t>(0, EndUs()));
    FStartUs = us;
    FStartExact = true;
    FActive = TWaveView::TEnd::Start;
    F.Trackbar->SetSegStartPos(std::min<int64_t>(F.Trackbar->Max(), (us + Second / 2) / Second));
    ShowRange();
}

void TWaveAdjust::SetEndUs(int64_t us) {
    us = std::clamp<int64_t>(us, StartUs(), std::max(StartUs(), AudioEndUs()));
    FEndUs = us;
    FEndExact = true;
    FActive = TWaveView::TEnd::End;
    F.Trackbar->SetSegEndPos(std::min<int64_t>(F.Trackbar->Max(), (us + Second / 2) / Second));
    ShowRange();
}

void TWaveAdjust::ShowRange() {
    // An end is shown with its milliseconds when it has any.
    const bool startMs = StartExact() && StartUs() % Second != 0;
    const bool endMs = EndExact() && EndUs() % Second != 0;
    ShowTime(F.StartLabel, TimeText(StartUs(), startMs), true);
    ShowTime(F.EndLabel, TimeText(EndUs(), endMs), false);
    FView->SetRange(StartUs(), ViewEndUs());
}

void TWaveAdjust::FillCutRange(TCutParams& params) const {
    params.StartSeconds = F.Trackbar->SegStartPos();
    params.EndSeconds = F.Trackbar->SegEndPos();
    params.EndAtAudioEnd = !EndExact() && F.Trackbar->SegEndPos() >= F.Trackbar->Max();
    if (StartExact())
        params.StartUs = StartUs();
    if (EndExact())
        params.EndUs = EndUs();
}

QString TWaveAdjust::EmptyRangeMessage() const {
    if ((StartExact() || EndExact()) && StartUs() < EndUs())
        return QString();
    return ::EmptyRangeMessage(F.Trackbar->SegStartPos(), F.Trackbar->SegEndPos(),
                               F.Trackbar->Max());
}

bool TWaveAdjust::HandleKey(int key, Qt::KeyboardModifiers modifiers) {
    if (FFile.isEmpty() && F.Trackbar->Max() <= 0)
        return false;
    int64_t step = 0;
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
        step = (modifiers & Qt::ShiftModifier) ? FineStep : Second;
        if (key == Qt::Key_Left)
            step = -step;
        break;
    case Qt::Key_PageUp:
        step = PageStep;
        break;
    case Qt::Key_PageDown:
        step = -PageStep;
        break;
    case Qt::Key_BracketLeft:
        SetStartUs(FPositionUs);
        return true;
    case Qt::Key_BracketRight:
        SetEndUs(FPositionUs);
        return true;
    default:
        return false;
    }
    if (FActive == TWaveView::TEnd::Start)
        SetStartUs(StartUs() + step);
    else
        SetEndUs(EndUs() + step);
    return true;
}

bool TWaveAdjust::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick &&
        (watched == F.StartLabel || watched == F.EndLabel)) {
        EditTime(watched == F.StartLabel ? TWaveView::TEnd::Start : TWaveView::TEnd::End);
        return true;
    }
    if (watched == FEditor) {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            CloseEditor();
            return true;
        }
        if (event->type() == QEvent::FocusOut) {
            CloseEditor();
            return false;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TWaveAdjust::EditTime(TWaveView::TEnd end) {
    CloseEditor();
    FEditing = end;
    QLabel* label = end == TWaveView::TEnd::Start ? F.StartLabel : F.EndLabel;
    FEditor = new QLineEdit(label->text(), label->parentWidget());
    FEditor->setObjectName(QStringLiteral("edTime"));
    FEditor->setToolTip(QStringLiteral("S, M:SS or H:MM:SS, with a fraction (1:05.250)"));
    const int width = 84;
    const int left = std::clamp(label->x() + label->width() / 2 - width / 2, 0,
                                label->parentWidget()->width() - width);
    FEditor->setGeometry(left, label->y() - 3, width, label->height() + 6);
    FEditor->installEventFilter(this);
    connect(FEditor, &QLineEdit::returnPressed, this, &TWaveAdjust::ApplyEditor);
    FEditor->show();
    FEditor->raise();
    FEditor->selectAll();
    FEditor->setFocus();
}

void TWaveAdjust::ApplyEditor() {
    if (!FEditor)
        return;
    const std::optional<int64_t> us = ParseTimeTextUs(FEditor->text());
    if (!us) {
        // Left open, marked, for the user to correct.
        FEditor->setStyleSheet(QStringLiteral("QLineEdit { background: #ffd8d8; }"));
        return;
    }
    const TWaveView::TEnd end = FEditing;
    CloseEditor();
    end == TWaveView::TEnd::Start ? SetStartUs(*us) : SetEndUs(*us);
}

void TWaveAdjust::CloseEditor() {
    if (!FEditor)
        return;
    QLineEdit* editor = FEditor;
    FEditor = nullptr;
    editor->removeEventFilter(this);
    editor->hide();
    editor->deleteLater();
}
