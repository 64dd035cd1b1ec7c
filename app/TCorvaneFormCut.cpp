// The Cut step of the main window and its shutdown: Start Cut hands the range to the window-free
// cut job, the job's progress and outcome come back here, and closing stops a running cut.
#include "app/TCorvaneForm.h"

#include "app/Dialogs.h"
#include "app/SysInfoUtils.h"
#include "app/TRecentFolders.h"
#include "app/TStepGroupBox.h"
#include "app/TWaveAdjust.h"
#include "controls/TVelTrackbar.h"
#include "job/CutJob.h"
#include "job/CutRules.h"
#include "job/SourceSteps.h"
#include "job/VelLog.h"
#include "media/FFLog.h"
#include "media/MyUtils.h"
#include "media/play/TFFPlayer.h"
#include "media/decode/TFFDecoder.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>

#include <algorithm>

QString TCorvaneForm::MakeOutputPath() const {
    return ::MakeOutputPath(tFilePath->text(), tFileName->text());
}

void TCorvaneForm::SetStepsEnabled(bool enabled) {
    for (TStepGroupBox* group : {gbStep1, gbStep2, gbStep3})
        group->SetStepEnabled(enabled);
}

void TCorvaneForm::btnPublishClick() {
    // Open from the menu re-enables the Cut step while a cut runs; the encoder takes one run at
    // a time.
    if (m_cutJob->Running()) {
        m_dialogs->ShowMessage(this,
                               QStringLiteral("A cut is running; please wait until it ends."));
        return;
    }
    BtnStopClick();
    const QString output = MakeOutputPath();
    const bool replace = QFileInfo(output).isFile();
    if (replace && !m_dialogs->AskOkCancel(
                       this, QStringLiteral("The file exists, do you want to replace it?")))
        return;
    const QString empty = m_wave->EmptyRangeMessage();
    if (!empty.isEmpty()) {
        m_dialogs->ShowMessage(this, empty);
        return;
    }

    TCutParams params;
    params.Source = btnOpenFile->text();
    params.Output = output;
    // The trackbar's end is the header's length in whole seconds; the user means the end of
    // the audio, which the header may overstate (a truncated file) or understate. An end placed
    // exactly on the waveform is taken as placed.
    m_wave->FillCutRange(params);
    params.Volume = VolumeValue(tbVolume->value());
    // The probe still holds the source it opened; without one LAME chooses its own rate.
    params.BitRate =
        m_decoder->FormatContext() ? std::max(0, int(m_decoder->GetMediaInfo().BitRate)) : 0;
    params.LibraryFolder = m_programFolder;
    params.Replace = replace;
    // The job logs how a smart cut was made (or why it was not); a plain one is said here.
    const QAction* smart = findChild<QAction*>(QStringLiteral("SmartCutOption"));
    params.Smart = smart != nullptr && smart->isChecked();
    if (!params.Smart)
        AppLog().LogInfo(QStringLiteral("Cut: the range is re-encoded (smart cut is off)."));
    QString message;
    // A cut that cannot start leaves the window as it was, usable, with the reason shown.
    if (!m_cutJob->Start(params, message)) {
        m_dialogs->ShowMessage(this, message);
        return;
    }
    SetStepsEnabled(false);
    m_recent->SetOutputFolder(ExtractFilePathW(output));
}

void TCorvaneForm::FFEncoderProgress(int percent) {
    pbPercent->setValue(std::min(percent, 100));
}

void TCorvaneForm::FFEncoderTerminate(const TCutOutcome& outcome) {
    switch (outcome.Kind) {
    case TCutOutcome::ckCompleted:
        pbPercent->setValue(100);
        if (m_dialogs->AskOkCancel(this, QStringLiteral("Published successfully, Click \"OK\" to "
                                                        "open the folder of the generated file.")))
            ShowInExplorer(outcome.Output);
        break;
    case TCutOutcome::ckFailed:
        // The job has logged it; without a word here the user would be left guessing.
        m_dialogs->ShowMessage(this, QStringLiteral("Failed to cut file.\n") + outcome.ErrorText);
        break;
    case TCutOutcome::ckStopped:
        break;
    }
    SetStepsEnabled(true);
}

void TCorvaneForm::closeEvent(QCloseEvent* event) {
    FormCloseQuery();
    event->accept();
}

// Lets go of the components' events and stops their work, so that nothing reaches a window that
// is going away. Closing is never refused.
void TCorvaneForm::FormCloseQuery() {
    m_closing = true;
    m_cutJob->OnPercent = nullptr;
    m_cutJob->OnEnded = nullptr;
    m_cutJob->Stop(true); // waits, handling events meanwhile, until the cut has ended
    m_wave->SourceClosed();
    PreviewStop();
    PreviewDetach();
    m_logger->SetOnLog(nullptr);
}
