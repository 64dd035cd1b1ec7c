#pragma once
// The main window. Three step groups lead the user through a cut: Open (choose the MP3), Adjust
// (mark the range on the Snipwave trackbar, preview it, set the volume) and Cut (output folder
// and name, Start Cut). The groups are switched as wholes by TStepGroupBox; the window starts
// with only Open usable. The menu is never disabled.
//
// Threads: everything here runs on the main thread. The controls are public under their
// component names because the step handlers and the GUI tests reach them by those names.

#include <QMainWindow>
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
class TDialogs;
class TStepGroupBox;
class TVelTrackbar;

class TCorvaneForm : public QMainWindow {
    Q_OBJECT
public:
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

    // Handlers of this window's own controls.
    void FormShow();
    void Exit1Click();
    void ImgArrLeftClick();
    void ImgArrRightClick();
    void tFilePathButtonClick();
    void Home1Click();
    void lblContactUsClick();
    void Contactus1Click();
    void About1Click();

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

    QLabel* lblWebsite;
    QLabel* lblHomePage;
    QLabel* lblContact;
    QLabel* lblContactUs;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

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

    std::unique_ptr<TDialogs> m_ownDialogs; // the real dialogs when no seam was given
    TDialogs* m_dialogs;
    TAboutForm* m_about = nullptr; // not owned
    QString m_programFolder;
    int m_clientWidth = 702; // pixels; the window is resized only through SetClientWidth
    int m_clientHeight = 0;  // pixels, fixed
    bool m_centred = false;  // centred on the screen at the first show only
};
