// The preview of the Adjust step: Play from the tick through the player into the window, the
// position moving the tick and ending the preview at the segment end, Stop, and the volume
// slider that pops up under the Volume button.
#include "app/TCorvaneForm.h"

#include "app/Dialogs.h"
#include "app/TWaveAdjust.h"
#include "controls/TVelTrackbar.h"
#include "job/CutRules.h"
#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/MyUtils.h"
#include "media/play/TFFPlayer.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QWindow>

void TCorvaneForm::BuildPlayer() {
    FFPlayer = std::make_unique<TFFPlayer>();
    FFPlayer->SetOnPosition([this](QObject*, int64_t pts) { FFPlayerPosition(pts); });
    // A playback that ends by itself (the file's audio ends before the segment does, or nothing
    // in it plays) ends the preview as the segment end would.
    FFPlayer->SetOnState([this](QObject*, TPlayState state) {
        if ((state == psEnd || state == psStop) && !m_previewOpening && BtnStop->isEnabled())
            BtnStopClick();
    });
    connect(BtnPlay, &QPushButton::clicked, this, &TCorvaneForm::BtnPlayClick);
    connect(tbVolume, &QSlider::valueChanged, this, &TCorvaneForm::tbVolumeChange);
    BtnVolume->installEventFilter(this);
    tbVolume->installEventFilter(this);
}

bool TCorvaneForm::PreviewEventFilter(QObject* watched, QEvent* event) {
    if (watched == BtnVolume && event->type() == QEvent::MouseButtonPress) {
        btnVolumeMouseDown(static_cast<QMouseEvent*>(event)->position().toPoint().x());
        return false;
    }
    if (watched == tbVolume && event->type() == QEvent::Leave)
        tbVolumeMouseLeave();
    return false;
}

void TCorvaneForm::BtnPlayClick() {
    StartPreview();
}

void TCorvaneForm::StartPreview() {
    // One preview opens at a time; Play and Space are not offered until it has.
    if (m_previewOpening)
        return;
    m_previewOpening = true;
    struct TOpened {
        bool& Flag;
        ~TOpened() { Flag = false; }
    } opened{m_previewOpening};
    const bool playWasEnabled = BtnPlay->isEnabled(), stopWasEnabled = BtnStop->isEnabled();
    BtnPlay->setEnabled(false);
    BtnStop->setEnabled(false);
    auto failed = [&] {
        BtnPlay->setEnabled(playWasEnabled);
        BtnStop->setEnabled(stopWasEnabled);
    };
    const QString source = btnOpenFile->text();
    // The open below then fails and says why in the player's own words.
    if (!FileExistsW(source))
        m_dialogs->ShowMessage(this,
                               QLatin1Char('"') + source + QStringLiteral("\" do not exist."));
    if (!FFPlayer->LibrariesLoaded() && !FFPlayer->LoadLibraries(m_programFolder)) {
        const QString text = FFPlayer->LastErrorText();
        failed();
        m_dialogs->ShowMessage(this, text);
        AppLog().LogError(QStringLiteral("Failed to load audio library, error message: ") + text);
        return;
    }
    FFPlayer->DisableAudio = false;
    FFPlayer->DisableVideo = false;
    FFPlayer->DisableDisplay = false;
    FFPlayer->VideoFilters.clear();
    FFPlayer->SetAudioVolume(PreviewVolumeValue(tbVolume->value()));
    // The display belongs to this window; the player draws it off screen, so nothing of ours is
    // painted over.
    createWinId();
    const QWindow* window = windowHandle();
    const TScreenHandle screen{uintptr_t(window->winId()), window->width(), window->height()};
    if (!FFPlayer->OpenMedia(source, &screen, true)) {
        failed();
        m_dialogs->ShowMessage(this, FFPlayer->LastErrorText());
        return;
    }
    if (m_closing) {
        // The window began to close while the file opened.
        PreviewStop();
        return;
    }
    FFPlayer->Seek(0, false, SecondsToMicroseconds(Snipwave->Position()));
    FFPlayer->Resume();
    BtnPlay->setEnabled(false);
    BtnStop->setEnabled(true);
}

void TCorvaneForm::FFPlayerPosition(int64_t pts) {
    Snipwave->SetPosition(pts / AppTimeBase);
    m_wave->PlayPosition(pts);
    if (Snipwave->Position() >= Snipwave->SegEndPos())
        BtnStopClick();
}

void TCorvaneForm::btnVolumeMouseDown(int mouseX) {
    tbVolume->setParent(BtnVolume->parentWidget());
    tbVolume->setFixedWidth(30);
    tbVolume->move(BtnVolume->x() + mouseX - 5,
                   BtnVolume->y() + BtnVolume->height() - tbVolume->height());
    tbVolume->show();
    tbVolume->raise();
    tbVolume->setFocus();
}

void TCorvaneForm::tbVolumeChange() {
    // A running preview takes the new level for the audio it outputs next.
    FFPlayer->SetAudioVolume(PreviewVolumeValue(tbVolume->value()));
}

void TCorvaneForm::tbVolumeMouseLeave() {
    tbVolume->hide();
}

void TCorvaneForm::TogglePreview() {
    if (BtnPlay->isEnabled())
        BtnPlay->click();
    else if (BtnStop->isEnabled())
        BtnStop->click();
}

void TCorvaneForm::PreviewStop() {
    FFPlayer->Stop(false);
}

void TCorvaneForm::PreviewPause() {
    FFPlayer->Pause();
}

void TCorvaneForm::PreviewSeekAndResume(int64_t us) {
    FFPlayer->Seek(0, false, us);
    FFPlayer->Resume();
}

void TCorvaneForm::PreviewDetach() {
    FFPlayer->SetOnPosition(nullptr);
    FFPlayer->SetOnState(nullptr);
}
