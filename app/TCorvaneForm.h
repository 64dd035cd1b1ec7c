#pragma once
// The main window. Three step groups lead the user through a cut: Open (choose the MP3), Adjust
// (mark the range on the Snipwave trackbar, preview it, set the volume) and Cut (output folder
// and name, Start Cut). The groups are switched as wholes by TStepGroupBox; the window starts
// with only Open usable. The menu is never disabled.
//
// The window owns one probe, one encoder (driven through one TCutJob) and one log bridge for its
// whole life. The preview player joins them later; the places it plugs into are the private
// Preview* members, which do nothing until then.
//
// Threads: everything here runs on the main thread. The controls are public under their
// component names because the step handlers and the GUI tests reach them by those names. The
// cut's outcome comes from the job on the main thread and is handled from a queued call, so the
// encoder's notification thread never waits on a question the window is asking.

#include <QMainWindow>

#include <cstdint>
#include <memory>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class TAboutForm;
class TClickImage;
class TCutJob;
class TDialogs;
class TFFPlayer;
class TFFDecoder;
class TFFEncoder;
class TFFLogger;
class TRecentFolders;
class TStepGroupBox;
class TVelTrackbar;
class TWaveAdjust;
struct TCutOutcome;

class TCorvaneForm : public QMainWindow {
    Q_OBJECT
public:
    // The preview player; tests look at its settings and state.
    TFFPlayer& Player() const { return *FFPlayer; }

    // programFolder: where res/ is looked for (with or without a trailing separator); empty
    // means the running program's folder. dialogs: the dialog seam; null means the real dialogs.
    explicit TCorvaneForm(const QString& programFolder = QString(), TDialogs* dialogs = nullptr,
                          QWidget* parent = nullptr);
    ~TCorvaneForm() override;

    // The About window the entry created; About1Click makes a temporary one when none is set.
    void SetAboutForm(TAboutForm* about) { m_about = about; }

    TDialogs& Dialogs() const { return *m_dialogs; }
    QString ProgramFolder() const { return m_programFolder; } // with a trailing separator
    int ClientWidth() const { return m_clientWidth; }         // pixels, menu bar excluded
    int ClientHeight() const { return m_clientHeight; }
    void SetClientWidth(int width);
    // The waveform panel's height (0 when hidden): the client area grows by it.
    void SetWaveHeight(int height);
    TWaveAdjust& WaveAdjust() const { return *m_wave; }

    // The media components; tests reach them to look at what the window did.
    TFFEncoder& FFEncoder() const { return *m_encoder; }
    TFFDecoder& FFDecoder() const { return *m_decoder; }
    TFFLogger& FFLogger() const { return *m_logger; }
    TCutJob& CutJob() const { return *m_cutJob; }
    TRecentFolders& RecentFolders() const { return *m_recent; }

    // Opens a file as if it had been chosen in the open dialog: the command line's file and a
    // dropped file come this way.
    void OpenFile(const QString& fileName);

    // Handlers of this window's own controls.
    void FormShow();
    void FormCloseQuery();
    void Exit1Click();
    void ImgArrLeftClick();
    void ImgArrRightClick();
    void tFilePathButtonClick();
    void Home1Click();
    void lblContactUsClick();
    void Contactus1Click();
    void About1Click();

    // Opening a file.
    void btnOpenFileButtonClick();
    void OpenSourceFile(const QString& fileName);

    // The Adjust step: preview, range and volume.
    void BtnPlayClick();
    void StartPreview();
    void BtnStopClick();
    void btnVolumeMouseDown(int mouseX);
    void tbVolumeChange();
    void tbVolumeMouseLeave();
    void FFPlayerPosition(int64_t pts);
    void BtnRestoreClick();
    void SnipwaveStartChange();
    void SnipwaveEndChange();
    void SnipwaveMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void SnipwaveMouseMove(Qt::KeyboardModifiers shift, int x, int y);
    void SnipwaveMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

    // The cut.
    void btnPublishClick();
    QString MakeOutputPath() const; // from the folder and name fields, evaluated now
    void FFEncoderProgress(int percent);
    void FFEncoderTerminate(const TCutOutcome& outcome);

    QMenu* mnFile;
    QAction* Open1;
    QAction* Exit1;
    QMenu* mnHelp;
    QAction* Home1;
    QAction* Contactus1;
    QAction* About1;

    QFrame* pnlLeft;
    QFrame* pnlRight;
    QFrame* pnlBottom;
    QPlainTextEdit* mmInfo;
    QProgressBar* pbPercent;

    TStepGroupBox* gbStep1;
    QLineEdit* btnOpenFile;
    QAction* btnOpenFileButton; // the browse button inside btnOpenFile

    TStepGroupBox* gbStep2;
    QLabel* lblStartTime;
    QLabel* lblEndTime;
    TVelTrackbar* Snipwave;
    QLabel* pnlHintTime;
    QSlider* tbVolume;
    QPushButton* BtnPlay;
    QPushButton* BtnStop;
    QPushButton* BtnRestore;
    QPushButton* BtnVolume;

    TStepGroupBox* gbStep3;
    QLabel* lblOutputPath;
    QLineEdit* tFilePath;
    QAction* tFilePathButton; // the folder button inside tFilePath
    QLabel* lblFileName;
    QLineEdit* tFileName;
    QPushButton* BtnPublish;

    TClickImage* Img1;
    TClickImage* Img2;
    TClickImage* Img3;
    TClickImage* ImgArrLeft;
    TClickImage* ImgArrRight;

    QFrame* pnlWave = nullptr; // the waveform, under the three steps; made by TWaveAdjust

    QLabel* lblWebsite;
    QLabel* lblHomePage;
    QLabel* lblContact;
    QLabel* lblContactUs;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildMenu();
    void BuildLeftPanel();
    void BuildStep1();
    void BuildStep2();
    void BuildTrackbar();
    void BuildStep3();
    void BuildRightPanel();
    void BuildBottomPanel();
    void AlignPanels();
    void ToggleInfoPanel();
    bool LoadImages(); // false after the first image that exists but cannot be read
    void BuildComponents();
    void BuildPlayer();
    // The Volume button's press and the slider's leaving; true when the event is consumed.
    bool PreviewEventFilter(QObject* watched, QEvent* event);
    void TogglePreview(); // Space: Play when it can be pressed, else Stop
    void BuildShortcuts();
    void BindTrackbar();
    void PrepareOpen();                           // what every open does before the file is known
    void OpenChosenFile(const QString& fileName); // what every open does once it is
    void SetStepsEnabled(bool enabled);           // all three groups: Cutting / Cut ended
    bool OnMarker(int x, int y) const;            // over a segment marker as last drawn

    // The preview player's steps: stop without waiting, pause, seek to µs and resume if paused,
    // and let go of the player's events before the window goes away.
    void PreviewStop();
    void PreviewPause();
    void PreviewSeekAndResume(int64_t us);
    void PreviewDetach();

    // Destroyed in reverse order: the job lets go of the encoder's events before the encoder
    // goes, and the log bridge outlives the components that write to it.
    std::unique_ptr<TFFLogger> m_logger;
    std::unique_ptr<TFFDecoder> m_decoder;
    std::unique_ptr<TFFEncoder> m_encoder;
    std::unique_ptr<TCutJob> m_cutJob;
    std::unique_ptr<TFFPlayer> FFPlayer;
    std::unique_ptr<TRecentFolders> m_recent;
    bool m_closing = false;        // FormCloseQuery ran: no outcome of the cut is shown any more
    bool m_previewOpening = false; // StartPreview is opening the file in the player

    std::unique_ptr<TDialogs> m_ownDialogs; // the real dialogs when no seam was given
    TDialogs* m_dialogs;
    TAboutForm* m_about = nullptr; // not owned
    QString m_programFolder;
    int m_clientWidth = 702; // pixels; the window is resized only through SetClientWidth
    int m_clientHeight = 0;  // pixels, fixed
    bool m_centred = false;  // centred on the screen at the first show only
    int m_waveHeight = 0;    // pixels of the waveform panel, 0 when hidden
    std::unique_ptr<TWaveAdjust> m_wave; // first to go: its scan stops before the window does
};
