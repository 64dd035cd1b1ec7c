#include "app/TCorvaneForm.h"

#include "app/Dialogs.h"
#include "app/SysInfoUtils.h"
#include "app/TClickImage.h"
#include "app/TRecentFolders.h"
#include "app/TStepGroupBox.h"
#include "app/TWaveAdjust.h"
#include "app/frmAbout.h"
#include "controls/TVelTrackbar.h"
#include "job/CutJob.h"
#include "media/FFLog.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/component/TFFEncoder.h"
#include "media/play/TFFPlayer.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QSlider>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

// The resources live in a static library, whose initialiser the linker would otherwise drop.
static void InitAppResources() {
    Q_INIT_RESOURCE(app);
}

namespace {
constexpr int DesignClientWidth = 702;    // pixels
constexpr int DesignClientHeight = 389;   // pixels
constexpr int ShownInfoClientWidth = 700; // client width whenever the information panel shows
constexpr int RightPanelWidth = 290;
constexpr int BottomPanelHeight = 40;
constexpr int HiddenPanelSlack = 5; // added to the left panel's width when the panel hides

// Eleven spaces keep room for the step icon drawn over the start of the caption.
const QString StepCaptionIndent = QStringLiteral("           ");

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& caption, int left, int top, int width,
                        int height) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(left, top, width, height);
    return button;
}

QLabel* MakeLinkLabel(QWidget* parent, const QString& shown) {
    auto* label =
        new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(shown.toHtmlEscaped()), parent);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    label->setCursor(Qt::PointingHandCursor);
    label->adjustSize();
    return label;
}
} // namespace

TCorvaneForm::TCorvaneForm(const QString& programFolder, TDialogs* dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    InitAppResources();
    if (!dialogs) {
        m_ownDialogs = std::make_unique<TDialogs>();
        dialogs = m_ownDialogs.get();
    }
    m_dialogs = dialogs;
    m_clientHeight = DesignClientHeight;
    m_programFolder =
        programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder;
    if (!m_programFolder.endsWith(QLatin1Char('/')))
        m_programFolder += QLatin1Char('/');

    setObjectName(QStringLiteral("CorvaneForm"));
    setWindowTitle(QStringLiteral("Quillon Snipwave"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));

    BuildMenu();
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    client->installEventFilter(this);
    pnlLeft = new QFrame(client);
    pnlRight = new QFrame(client);
    pnlBottom = new QFrame(client);
    BuildLeftPanel();
    BuildRightPanel();
    BuildBottomPanel();
    SetClientWidth(DesignClientWidth);
    BuildComponents();
    BindTrackbar();
    BuildShortcuts();
    TWaveAdjustParts wave;
    wave.Client = centralWidget();
    wave.MenuBar = menuBar();
    wave.Before = mnHelp->menuAction();
    wave.Trackbar = Snipwave;
    wave.StartLabel = lblStartTime;
    wave.EndLabel = lblEndTime;
    wave.Player = FFPlayer.get();
    wave.Decoder = m_decoder.get();
    wave.SetPanelHeight = [this](int height) { SetWaveHeight(height); };
    m_wave = std::make_unique<TWaveAdjust>(wave);
    pnlWave = m_wave->Panel();
    m_wave->RestoreShown();
    setAcceptDrops(true);
}

TCorvaneForm::~TCorvaneForm() {
    // A window destroyed without being closed still must not leave a cut writing behind it.
    if (!m_closing)
        FormCloseQuery();
}

void TCorvaneForm::BuildComponents() {
    m_logger = std::make_unique<TFFLogger>();
    m_decoder = std::make_unique<TFFDecoder>();
    m_encoder = std::make_unique<TFFEncoder>();
    m_cutJob = std::make_unique<TCutJob>(*m_encoder);
    m_cutJob->OnPercent = [this](int percent) { FFEncoderProgress(percent); };
    m_cutJob->OnEnded = [this](const TCutOutcome& outcome) {
        // Handled from the event loop: the question it may ask must not hold up the encoder's
        // notification, which is waiting for this call to return.
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
                if (!m_closing)
                    FFEncoderTerminate(outcome);
            },
            Qt::QueuedConnection);
    };
    m_recent = std::make_unique<TRecentFolders>();
    BuildPlayer();
}

void TCorvaneForm::BuildShortcuts() {
    Open1->setShortcut(QKeySequence::Open);
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(Open1, &QAction::triggered, this, &TCorvaneForm::btnOpenFileButtonClick);
    connect(btnOpenFileButton, &QAction::triggered, this, &TCorvaneForm::btnOpenFileButtonClick);
    connect(BtnStop, &QPushButton::clicked, this, &TCorvaneForm::BtnStopClick);
    connect(BtnRestore, &QPushButton::clicked, this, &TCorvaneForm::BtnRestoreClick);
    connect(BtnPublish, &QPushButton::clicked, this, &TCorvaneForm::btnPublishClick);
    connect(new QShortcut(QKeySequence(Qt::Key_Space), this), &QShortcut::activated, this,
            &TCorvaneForm::TogglePreview);
    // Start Cut from the keyboard acts only when the button itself could be pressed.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [this] {
            if (BtnPublish->isEnabled())
                BtnPublish->click();
        });
    // The tab order follows the three steps.
    QWidget* const order[] = {btnOpenFile, Snipwave,  BtnPlay,   BtnStop,   BtnRestore,
                              BtnVolume,   tFilePath, tFileName, BtnPublish};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void TCorvaneForm::BuildMenu() {
    // A menu bar inside the window on every desktop keeps the client area's size exact.
    menuBar()->setNativeMenuBar(false);
    mnFile = menuBar()->addMenu(QStringLiteral("File"));
    Open1 = mnFile->addAction(QStringLiteral("Open"));
    mnFile->addSeparator();
    Exit1 = mnFile->addAction(QStringLiteral("Exit"));
    // The smart cut is off until the user chooses it; the choice is kept with the window's
    // other settings, and the cut reads it from the action.
    QAction* smart = menuBar()
                         ->addMenu(QStringLiteral("Options"))
                         ->addAction(QStringLiteral("Smart cut (copy the middle without re-encoding)"));
    smart->setObjectName(QStringLiteral("SmartCutOption"));
    smart->setCheckable(true);
    smart->setChecked(QSettings(TRecentFolders::DefaultFileName(), QSettings::IniFormat)
                          .value(QStringLiteral("Options/SmartCut"), false)
                          .toBool());
    connect(smart, &QAction::toggled, this, [](bool on) {
        QSettings(TRecentFolders::DefaultFileName(), QSettings::IniFormat)
            .setValue(QStringLiteral("Options/SmartCut"), on);
    });
    mnHelp = menuBar()->addMenu(QStringLiteral("Help"));
    Home1 = mnHelp->addAction(QStringLiteral("Home Page"));
    Contactus1 = mnHelp->addAction(QStringLiteral("Contact us"));
    mnHelp->addSeparator();
    About1 = mnHelp->addAction(QStringLiteral("About"));

    connect(Exit1, &QAction::triggered, this, &TCorvaneForm::Exit1Click);
    connect(Home1, &QAction::triggered, this, &TCorvaneForm::Home1Click);
    connect(Contactus1, &QAction::triggered, this, &TCorvaneForm::Contactus1Click);
    connect(About1, &QAction::triggered, this, &TCorvaneForm::About1Click);
}

void TCorvaneForm::BuildLeftPanel() {
    pnlLeft->setObjectName(QStringLiteral("pnlLeft"));
    BuildStep1();
    BuildStep2();
    BuildStep3();

    pbPercent = new QProgressBar(pnlLeft);
    pbPercent->setGeometry(17, 324, 374, 17);
    pbPercent->setRange(0, 100);
    pbPercent->setValue(0);
    pbPercent->setTextVisible(false);

    // The icons sit over the start of each group's caption, on top of the group frames.
    const std::pair<TClickImage**, const TStepGroupBox*> icons[] = {
        {&Img1, gbStep1}, {&Img2, gbStep2}, {&Img3, gbStep3}};
    for (auto [image, group] : icons) {
        *image = new TClickImage(pnlLeft);
        (*image)->setScaledContents(true);
        (*image)->setGeometry(group->x() + 6, group->y() - 9, 30, 30);
    }
    ImgArrLeft = new TClickImage(pnlLeft);
    ImgArrLeft->setGeometry(393, 12, 16, 16);
    ImgArrLeft->setToolTip(QStringLiteral("Hide file information"));
    ImgArrRight = new TClickImage(pnlLeft);
    ImgArrRight->setGeometry(393, 12, 16, 16);
    ImgArrRight->setToolTip(QStringLiteral("Show file information"));
    for (TClickImage* image : {ImgArrLeft, ImgArrRight})
        image->setCursor(Qt::PointingHandCursor);
    connect(ImgArrLeft, &TClickImage::clicked, this, &TCorvaneForm::ImgArrLeftClick);
    connect(ImgArrRight, &TClickImage::clicked, this, &TCorvaneForm::ImgArrRightClick);
}

void TCorvaneForm::BuildStep1() {
    gbStep1 = new TStepGroupBox(StepCaptionIndent + QStringLiteral("Open"), pnlLeft);
    gbStep1->setGeometry(15, 11, 376, 54);

    btnOpenFile = new QLineEdit(gbStep1);
    btnOpenFile->setGeometry(12, 22, 352, 22);
    btnOpenFile->setReadOnly(true);
    btnOpenFileButton = btnOpenFile->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon),
                                               QLineEdit::TrailingPosition);
    btnOpenFileButton->setToolTip(QStringLiteral("Open"));
}

void TCorvaneForm::BuildStep2() {
    gbStep2 = new TStepGroupBox(StepCaptionIndent + QStringLiteral("Adjust"), pnlLeft);
    gbStep2->setGeometry(15, 79, 376, 80);
    // Disabled before its children exist: its record stays empty, so the first enable (the
    // first file opened) makes every child usable, Stop included.
    gbStep2->SetStepEnabled(false);

    lblStartTime = MakeLabel(gbStep2, QStringLiteral("00:00:00"), 12, 24);
    lblEndTime = MakeLabel(gbStep2, QStringLiteral("00:00:00"), 315, 24);

    BuildTrackbar();

    BtnPlay = MakeButton(gbStep2, QStringLiteral("Play"), 103, 47, 52, 24);
    BtnStop = MakeButton(gbStep2, QStringLiteral("Stop"), 159, 47, 52, 24);
    BtnRestore = MakeButton(gbStep2, QStringLiteral("Restore"), 215, 47, 52, 24);
    BtnVolume = MakeButton(gbStep2, QStringLiteral("Volume"), 305, 47, 52, 24);

    pnlHintTime = new QLabel(QStringLiteral("00:00:00"), gbStep2);
    pnlHintTime->setObjectName(QStringLiteral("pnlHintTime"));
    pnlHintTime->setAlignment(Qt::AlignCenter);
    pnlHintTime->setStyleSheet(QStringLiteral(
        "#pnlHintTime { background: #ffffd7; border: 1px solid #9a9a80; border-radius: 5px; }"));
    pnlHintTime->setGeometry(0, 0, 59, 20);
    pnlHintTime->hide();

    tbVolume = new QSlider(Qt::Vertical, gbStep2);
    tbVolume->setRange(0, 100);
    tbVolume->setValue(100);
    tbVolume->setGeometry(305, 0, 30, 71);
    tbVolume->hide();

    for (QWidget* w : std::initializer_list<QWidget*>{Snipwave, lblStartTime, lblEndTime,
                                                      pnlHintTime, tbVolume, BtnStop})
        w->setEnabled(false);
}

// The range trackbar of the Adjust step, in whole seconds. Until a file is opened it shows a
// sample range; Max goes first so the segment and the tick are clamped against it.
void TCorvaneForm::BuildTrackbar() {
    Snipwave = new TVelTrackbar(gbStep2);
    Snipwave->setObjectName(QStringLiteral("Snipwave"));
    Snipwave->setGeometry(63, 17, 244, 25);
    Snipwave->SetBGColor(0xDBEAEC);
    Snipwave->SetShowCut(false);
    Snipwave->SetMax(100);
    Snipwave->SetPosition(10);
    Snipwave->SetTickOffsetY(5);
    Snipwave->SetTrackOffsetY(5);
    Snipwave->SetTrackOffsetX(16);
    Snipwave->SetSegOffsetY(5);
    Snipwave->SetSegStartPos(10);
    Snipwave->SetSegEndPos(90);
    Snipwave->SetLeftBrushColor(0x653DF72D);
    Snipwave->SetRightBrushColor(0x65F5BCDA);
    Snipwave->SetMarginOffsetX(0);
    // Black is the transparent colour of the window's own marker and tick pictures.
    Snipwave->SetSegStartTransparency(0x000000);
    Snipwave->SetSegEndTransparency(0x000000);
    Snipwave->SetTickTransparency(0x000000);
    const auto picture = [](const char* name) {
        return QImage(QStringLiteral(":/app/trackbar/") + QLatin1String(name) +
                      QStringLiteral(".png"));
    };
    Snipwave->SetTickUp(picture("TickUp"));
    Snipwave->SetTickDown(picture("TickDown"));
    Snipwave->SetTickHot(picture("TickHot"));
    Snipwave->SetTickDisable(picture("TickDisable"));
    Snipwave->SetTrack(picture("Track"));
    Snipwave->SetSegmentStart(picture("SegmentStart"));
    Snipwave->SetSegmentEnd(picture("SegmentEnd"));
}

void TCorvaneForm::BuildStep3() {
    gbStep3 = new TStepGroupBox(StepCaptionIndent + QStringLiteral("Cut"), pnlLeft);
    gbStep3->setGeometry(17, 172, 374, 136);
    gbStep3->SetStepEnabled(false);

    lblOutputPath = MakeLabel(gbStep3, QStringLiteral("File Path:"), 12, 30);
    tFilePath = new QLineEdit(gbStep3);
    tFilePath->setGeometry(80, 26, 280, 22);
    tFilePathButton = tFilePath->addAction(style()->standardIcon(QStyle::SP_DirIcon),
                                           QLineEdit::TrailingPosition);
    tFilePathButton->setToolTip(QStringLiteral("Select Directory"));
    connect(tFilePathButton, &QAction::triggered, this, &TCorvaneForm::tFilePathButtonClick);

    lblFileName = MakeLabel(gbStep3, QStringLiteral("File Name:"), 12, 62);
    tFileName = new QLineEdit(QStringLiteral("My Pagewhirl"), gbStep3);
    tFileName->setGeometry(80, 58, 280, 22);

    BtnPublish = MakeButton(gbStep3, QStringLiteral("Start Cut"), 120, 90, 134, 36);
    QFont big = BtnPublish->font();
    big.setPixelSize(20);
    BtnPublish->setFont(big);
}

void TCorvaneForm::BuildRightPanel() {
    pnlRight->setObjectName(QStringLiteral("pnlRight"));
    mmInfo = new QPlainTextEdit(pnlRight);
    mmInfo->setReadOnly(true);
    mmInfo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(pnlRight);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(mmInfo);
}

void TCorvaneForm::BuildBottomPanel() {
    pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
    lblWebsite = MakeLabel(pnlBottom, QStringLiteral("Our website:"), 0, 0);
    QString home = QString::fromLatin1(HomePageAddress);
    home.remove(QStringLiteral("https://"));
    if (home.endsWith(QLatin1Char('/')))
        home.chop(1);
    lblHomePage = MakeLinkLabel(pnlBottom, home);
    lblContact = MakeLabel(pnlBottom, QStringLiteral("Contact us:"), 0, 0);
    lblContactUs = MakeLinkLabel(pnlBottom, QString::fromLatin1(SupportMailAddress));

    // Two rows keep both addresses whole in the narrow 415-pixel window.
    const int linkLeft = 15 + std::max(lblWebsite->width(), lblContact->width()) + 6;
    lblWebsite->move(15, 5);
    lblHomePage->move(linkLeft, 5);
    lblContact->move(15, 21);
    lblContactUs->move(linkLeft, 21);
    connect(lblHomePage, &QLabel::linkActivated, this, &TCorvaneForm::Home1Click);
    connect(lblContactUs, &QLabel::linkActivated, this, &TCorvaneForm::lblContactUsClick);
}

void TCorvaneForm::SetWaveHeight(int height) {
    m_waveHeight = height;
    m_clientHeight = DesignClientHeight + height;
    SetClientWidth(m_clientWidth);
}

void TCorvaneForm::SetClientWidth(int width) {
    m_clientWidth = width;
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(width, menuHeight + m_clientHeight);
    // Laid out at once rather than on the resize event: the panel widths are read right after
    // a toggle, before a window system would report the new size.
    AlignPanels();
}

// The left panel takes what the right and bottom panels leave, as the toggle relies on.
void TCorvaneForm::AlignPanels() {
    const int top = m_clientHeight - BottomPanelHeight;
    pnlBottom->setGeometry(0, top, m_clientWidth, BottomPanelHeight);
    const bool rightShown = !pnlRight->isHidden();
    const int leftWidth = m_clientWidth - (rightShown ? RightPanelWidth : 0);
    const int stepsHeight = top - m_waveHeight;
    pnlLeft->setGeometry(0, 0, leftWidth, stepsHeight);
    if (rightShown)
        pnlRight->setGeometry(leftWidth, 0, RightPanelWidth, stepsHeight);
    if (pnlWave)
        pnlWave->setGeometry(0, stepsHeight, m_clientWidth, m_waveHeight);
}

bool TCorvaneForm::eventFilter(QObject* watched, QEvent* event) {
    if (PreviewEventFilter(watched, event))
        return true;
    if (watched == centralWidget() && event->type() == QEvent::Resize)
        AlignPanels();
    return QMainWindow::eventFilter(watched, event);
}

void TCorvaneForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    FormShow();
    // Centred at the size the user first sees: FormShow has just narrowed the window, and
    // centring the design width instead would leave the narrow window off to the left.
    if (!m_centred) {
        m_centred = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

bool TCorvaneForm::LoadImages() {
    const std::pair<const char*, TClickImage*> images[] = {{"res/1.png", Img1},
                                                           {"res/2.png", Img2},
                                                           {"res/3.png", Img3},
                                                           {"res/arr-left.png", ImgArrLeft},
                                                           {"res/arr-right.png", ImgArrRight}};
    for (auto [name, control] : images) {
        const QString path = m_programFolder + QString::fromLatin1(name);
        if (!QFileInfo(path).isFile())
            continue;
        QImageReader reader(path, "png");
        const QImage image = reader.read();
        if (image.isNull()) {
            m_dialogs->ShowMessage(this,
                                   QStringLiteral("Cannot load the image %1: %2")
                                       .arg(QDir::toNativeSeparators(path), reader.errorString()));
            return false;
        }
        control->setPixmap(QPixmap::fromImage(image));
    }
    return true;
}

void TCorvaneForm::FormShow() {
    // A picture that cannot be read stops the loading after the message, but the window still
    // reaches its narrow start layout: leaving both arrows and the panel up would show the wrong
    // arrow for the panel's state.
    LoadImages();
    ImgArrRight->hide();
    ImgArrLeftClick();
}

void TCorvaneForm::ToggleInfoPanel() {
    if (!pnlRight->isHidden()) {
        const int narrow = pnlLeft->width() + HiddenPanelSlack;
        pnlRight->hide();
        SetClientWidth(narrow);
    } else {
        pnlRight->show();
        SetClientWidth(ShownInfoClientWidth);
    }
}

void TCorvaneForm::ImgArrLeftClick() {
    ImgArrLeft->hide();
    ImgArrRight->show();
    ToggleInfoPanel();
}

void TCorvaneForm::ImgArrRightClick() {
    ImgArrLeft->show();
    ImgArrRight->hide();
    ToggleInfoPanel();
}

void TCorvaneForm::Exit1Click() {
    close();
}

void TCorvaneForm::tFilePathButtonClick() {
    QString folder = tFilePath->text();
    // A folder field that names no folder starts where the user last cut into.
    if (!QFileInfo(folder).isDir())
        folder = m_recent->OutputFolder();
    if (BrowseForFolder(*m_dialogs, this, QStringLiteral("Select Directory"), folder)) {
        tFilePath->setText(folder);
        m_recent->SetOutputFolder(folder);
    }
}

void TCorvaneForm::Home1Click() {
    OpenURL(QString::fromLatin1(HomePageAddress));
}

void TCorvaneForm::lblContactUsClick() {
    OpenMailTo(QString::fromLatin1(SupportMailAddress));
}

void TCorvaneForm::Contactus1Click() {
    lblContactUsClick();
}

void TCorvaneForm::About1Click() {
    if (m_about) {
        m_about->exec();
        return;
    }
    TAboutForm about(this);
    about.exec();
}
