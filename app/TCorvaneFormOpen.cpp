// The Open step of the main window and the parts of the Adjust step that need no player: the
// range labels, the time hint over the trackbar, Restore and the buttons' side of Stop.
#include "app/TCorvaneForm.h"

#include "app/Dialogs.h"
#include "app/TRecentFolders.h"
#include "app/TStepGroupBox.h"
#include "app/TWaveAdjust.h"
#include "controls/TVelTrackbar.h"
#include "job/SourceSteps.h"
#include "job/TimeTexts.h"
#include "media/MyUtils.h"
#include "media/play/TFFPlayer.h"
#include "media/decode/TFFDecoder.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {
// Qt's form of "Support file(*.mp3)|*.mp3": the description carries the mask.
const QString SourceFilter = QStringLiteral("Support file(*.mp3)");
} // namespace

void TCorvaneForm::PrepareOpen() {
    mmInfo->clear();
    m_wave->SourceClosed();
    BtnRestoreClick();
    BtnStopClick();
    pbPercent->setValue(0);
}

void TCorvaneForm::btnOpenFileButtonClick() {
    PrepareOpen();
    const QString fileName = m_dialogs->OpenFileName(this, SourceFilter, m_recent->OpenFolder());
    if (fileName.isEmpty())
        return;
    OpenChosenFile(fileName);
}

void TCorvaneForm::OpenFile(const QString& fileName) {
    PrepareOpen();
    OpenChosenFile(CommandLineSourceFile(fileName));
}

void TCorvaneForm::OpenChosenFile(const QString& fileName) {
    // The File chosen state comes before the probe, so a file that fails to open still leaves
    // the Adjust and Cut steps usable.
    gbStep2->SetStepEnabled(true);
    gbStep3->SetStepEnabled(true);
    btnOpenFile->setText(fileName);
    tFilePath->setText(DefaultOutputFolder(fileName));
    tFileName->setText(DefaultOutputName(fileName));
    m_recent->SetOpenFolder(ExtractFilePathW(ExpandFileNameW(fileName)));
    OpenSourceFile(fileName);
}

void TCorvaneForm::OpenSourceFile(const QString& fileName) {
    TSourceInfo info;
    QString message;
    if (!OpenSource(*m_decoder, fileName, m_programFolder, info, message)) {
        m_dialogs->ShowMessage(this, message);
        return;
    }
    const int64_t seconds = TrackbarSeconds(info.Duration);
    for (const QString& line : InformationLines(info)) {
        mmInfo->appendPlainText(line);
        mmInfo->appendPlainText(QString());
    }
    lblStartTime->setText(FormatSeconds(0));
    lblEndTime->setText(FormatSeconds(seconds));
    lblEndTime->adjustSize();
    // Max first, so the segment and the tick are clamped against the new length.
    Snipwave->SetMax(seconds);
    Snipwave->SetSegStartPos(0);
    Snipwave->SetPosition(Snipwave->SegStartPos());
    Snipwave->SetSegEndPos(Snipwave->Max());
    m_wave->SourceOpened(fileName);
}

void TCorvaneForm::BtnStopClick() {
    PreviewStop();
    m_wave->PlayStopped();
    BtnPlay->setEnabled(true);
    BtnStop->setEnabled(false);
}

void TCorvaneForm::BtnRestoreClick() {
    Snipwave->SetSegStartPos(0);
    lblStartTime->setText(FormatSeconds(Snipwave->SegStartPos()));
    Snipwave->SetSegEndPos(Snipwave->Max());
    lblEndTime->setText(FormatSeconds(Snipwave->SegEndPos()));
    lblEndTime->adjustSize();
    m_wave->RangeRestored();
}

void TCorvaneForm::BindTrackbar() {
    Snipwave->OnStartChange = [this](TVelTrackbar*) { SnipwaveStartChange(); };
    Snipwave->OnEndChange = [this](TVelTrackbar*) { SnipwaveEndChange(); };
    Snipwave->OnMouseDown = [this](TVelTrackbar*, Qt::MouseButton button,
                                   Qt::KeyboardModifiers shift, int x,
                                   int y) { SnipwaveMouseDown(button, shift, x, y); };
    Snipwave->OnMouseMove = [this](TVelTrackbar*, Qt::MouseButtons, Qt::KeyboardModifiers shift,
                                   int x, int y) { SnipwaveMouseMove(shift, x, y); };
    Snipwave->OnMouseUp = [this](TVelTrackbar*, Qt::MouseButton button, Qt::KeyboardModifiers shift,
                                 int x, int y) { SnipwaveMouseUp(button, shift, x, y); };
}

void TCorvaneForm::SnipwaveStartChange() {
    pnlHintTime->setText(FormatSeconds(Snipwave->SegStartPos()));
    lblStartTime->setText(pnlHintTime->text());
    m_wave->TrackbarStartMoved();
}

void TCorvaneForm::SnipwaveEndChange() {
    pnlHintTime->setText(FormatSeconds(Snipwave->SegEndPos()));
    lblEndTime->setText(pnlHintTime->text());
    lblEndTime->adjustSize();
    m_wave->TrackbarEndMoved();
}

bool TCorvaneForm::OnMarker(int x, int y) const {
    return Snipwave->SegStartRect().Contains(x, y) || Snipwave->SegEndRect().Contains(x, y);
}

// A press on the bare track holds the preview where it is while the user picks a new place; a
// press on a marker leaves it playing.
void TCorvaneForm::SnipwaveMouseDown(Qt::MouseButton, Qt::KeyboardModifiers shift, int x, int y) {
    if (!OnMarker(x, y)) {
        PreviewPause();
        SnipwaveMouseMove(shift, x, y);
    }
    pnlHintTime->show();
    pnlHintTime->raise();
}

// Runs before the trackbar applies the move, so while the tick is dragged the hint trails it by
// one move; over a marker the marker's own change handlers set the caption instead.
void TCorvaneForm::SnipwaveMouseMove(Qt::KeyboardModifiers, int x, int y) {
    pnlHintTime->move(x + Snipwave->x() + 10, y + Snipwave->y() + 10);
    if (!OnMarker(x, y))
        pnlHintTime->setText(FormatSeconds(Snipwave->Position()));
}

void TCorvaneForm::SnipwaveMouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    PreviewSeekAndResume(SecondsToMicroseconds(Snipwave->Position()));
    pnlHintTime->hide();
}

void TCorvaneForm::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !DroppedSourceFile(event->mimeData()->urls()).isEmpty())
        event->acceptProposedAction();
}

// A dropped MP3 opens as if chosen in the dialog, in whatever state Open from the menu could.
void TCorvaneForm::dropEvent(QDropEvent* event) {
    const QString fileName = DroppedSourceFile(event->mimeData()->urls());
    if (fileName.isEmpty())
        return;
    event->acceptProposedAction();
    // Opened once the drop is over: the file manager waits for it to end, and a failed open
    // shows a message box.
    QMetaObject::invokeMethod(
        this,
        [this, fileName] {
            if (!m_closing)
                OpenFile(fileName);
        },
        Qt::QueuedConnection);
}
