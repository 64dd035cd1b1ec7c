// The main window as the user meets it: the start state, the step-group rule across the step
// states, the information-panel toggle, and the optional pictures in res/.
#include "WindowTestSupport.h"
#include "app/TCorvaneForm.h"
#include "app/TClickImage.h"
#include "app/TStepGroupBox.h"
#include "common/TestPaths.h"
#include "controls/TVelTrackbar.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {
class MainWindowTest : public testing::Test {
protected:
    // A program folder of the test's own, with or without the res/ pictures.
    void UsePictures() {
        ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("res")));
        const QDir art(testpaths::sourceDir() + QStringLiteral("/resources/res"));
        for (const char* name : {"1.png", "2.png", "3.png", "arr-left.png", "arr-right.png"})
            ASSERT_TRUE(
                QFile::copy(art.filePath(name), folder.filePath(QStringLiteral("res/") + name)))
                << name;
    }

    TCorvaneForm& Show() {
        form = std::make_unique<TCorvaneForm>(folder.path(), &dialogs);
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return *form;
    }

    static void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }

    static QList<QWidget*> Children(QWidget* group) {
        return group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    }

    QTemporaryDir folder;
    TFakeDialogs dialogs;
    std::unique_ptr<TCorvaneForm> form;
};

// The child's own flag, independent of its group.
bool Own(const QWidget* w) {
    return !w->testAttribute(Qt::WA_ForceDisabled);
}
} // namespace

TEST_F(MainWindowTest, StartsWithOnlyOpenUsable) {
    TCorvaneForm& f = Show();
    EXPECT_EQ(f.ClientHeight(), 389);
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "the window is not resizable";

    EXPECT_TRUE(f.btnOpenFile->isEnabled());
    EXPECT_TRUE(f.btnOpenFile->isReadOnly());
    EXPECT_TRUE(f.btnOpenFileButton->isEnabled());
    for (QWidget* group : {static_cast<QWidget*>(f.gbStep2), static_cast<QWidget*>(f.gbStep3)}) {
        ASSERT_FALSE(Children(group).isEmpty());
        for (QWidget* child : Children(group))
            EXPECT_FALSE(child->isEnabled()) << child->metaObject()->className();
    }
    for (QAction* a : {f.Open1, f.Exit1, f.Home1, f.Contactus1, f.About1})
        EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();

    // The children's own flags as built; they matter only once the groups are switched.
    for (QWidget* w : {static_cast<QWidget*>(f.Snipwave), static_cast<QWidget*>(f.lblStartTime),
                       static_cast<QWidget*>(f.lblEndTime), static_cast<QWidget*>(f.pnlHintTime),
                       static_cast<QWidget*>(f.tbVolume), static_cast<QWidget*>(f.BtnStop)})
        EXPECT_FALSE(Own(w));
    for (QWidget* w : {f.BtnPlay, f.BtnRestore, f.BtnVolume})
        EXPECT_TRUE(Own(w));
}

TEST_F(MainWindowTest, TrackbarCarriesWindowSettingsAndPictures) {
    TCorvaneForm& f = Show();
    TVelTrackbar* t = f.Snipwave;
    EXPECT_EQ(t->parentWidget(), f.gbStep2);
    EXPECT_EQ(t->geometry(), QRect(63, 17, 244, 25));
    EXPECT_EQ(t->Position(), 10);
    EXPECT_EQ(t->SegStartPos(), 10);
    EXPECT_EQ(t->SegEndPos(), 90);
    EXPECT_EQ(t->Picture(TVelTrackbar::irTickUp).size(), QSize(9, 17));
    EXPECT_EQ(t->Picture(TVelTrackbar::irTrack).size(), QSize(300, 16));
    EXPECT_EQ(t->Picture(TVelTrackbar::irSegmentStart).size(), QSize(16, 16));
    EXPECT_EQ(t->Picture(TVelTrackbar::irSegmentEnd).size(), QSize(16, 16));
    // The 16-pixel marker pictures leave a 212-pixel span, as the time rounding assumes.
    EXPECT_EQ(t->TrackOffsetX(), 16);
    EXPECT_EQ(t->TrackLeft(), 16);
    EXPECT_EQ(t->TrackWidth(), 212);

    // Drawn on the window's background colour, with the black ground of the marker pictures
    // keyed out (their leftmost column is all ground).
    const QImage shot = t->grab().toImage();
    EXPECT_EQ(shot.pixelColor(0, 0), QColor(0xEC, 0xEA, 0xDB));
    EXPECT_NE(shot.pixelColor(t->SegStartRect().Left, t->SegStartRect().Top + 8),
              QColor(Qt::black));
}

TEST_F(MainWindowTest, FirstEnableWithoutRecordMakesEveryChildUsable) {
    TCorvaneForm& f = Show();
    // What confirming the first open does: both groups enabled.
    f.gbStep2->SetStepEnabled(true);
    f.gbStep3->SetStepEnabled(true);
    for (QWidget* group : {static_cast<QWidget*>(f.gbStep2), static_cast<QWidget*>(f.gbStep3)})
        for (QWidget* child : Children(group))
            EXPECT_TRUE(child->isEnabled()) << child->metaObject()->className();
    EXPECT_TRUE(f.BtnPlay->isEnabled());
    EXPECT_TRUE(f.BtnStop->isEnabled()) << "Play and Stop are both usable after the first open";
}

TEST_F(MainWindowTest, CutRoundTripRestoresChildFlagsAndKeepsMenuUsable) {
    TCorvaneForm& f = Show();
    f.gbStep2->SetStepEnabled(true);
    f.gbStep3->SetStepEnabled(true);
    f.BtnStop->setEnabled(false); // the Stopped state

    for (TStepGroupBox* g : {f.gbStep1, f.gbStep2, f.gbStep3}) // Cutting
        g->SetStepEnabled(false);
    for (TStepGroupBox* g : {f.gbStep1, f.gbStep2, f.gbStep3})
        for (QWidget* child : Children(g))
            EXPECT_FALSE(child->isEnabled());
    EXPECT_TRUE(f.menuBar()->isEnabled());
    for (QAction* a : {f.Open1, f.Exit1, f.Home1, f.Contactus1, f.About1})
        EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();

    for (TStepGroupBox* g : {f.gbStep1, f.gbStep2, f.gbStep3}) // Cut ended
        g->SetStepEnabled(true);
    EXPECT_TRUE(f.BtnPlay->isEnabled());
    EXPECT_FALSE(f.BtnStop->isEnabled()) << "Stop comes back as it was before the cut";
    EXPECT_TRUE(f.Snipwave->isEnabled());
    EXPECT_TRUE(f.btnOpenFile->isEnabled());
    EXPECT_TRUE(f.BtnPublish->isEnabled());
}

TEST_F(MainWindowTest, InformationPanelToggleAlternatesClientWidths) {
    TCorvaneForm& f = Show();
    // The hide at show time starts from the 412-pixel left panel of the design size.
    EXPECT_EQ(f.ClientWidth(), 417);
    EXPECT_EQ(f.width(), 417);
    EXPECT_TRUE(f.pnlRight->isHidden());
    EXPECT_EQ(f.pnlLeft->width(), 417);
    EXPECT_TRUE(f.ImgArrLeft->isHidden());
    EXPECT_FALSE(f.ImgArrRight->isHidden());

    for (int round = 0; round < 2; ++round) {
        Click(f.ImgArrRight);
        EXPECT_EQ(f.ClientWidth(), 700);
        EXPECT_EQ(f.width(), 700);
        EXPECT_FALSE(f.pnlRight->isHidden());
        EXPECT_EQ(f.pnlLeft->width(), 410);
        EXPECT_EQ(f.pnlRight->geometry(), QRect(410, 0, 290, 349));
        EXPECT_FALSE(f.ImgArrLeft->isHidden());
        EXPECT_TRUE(f.ImgArrRight->isHidden());

        Click(f.ImgArrLeft);
        EXPECT_EQ(f.ClientWidth(), 415) << "later hides start from the 410-pixel left panel";
        EXPECT_EQ(f.width(), 415);
        EXPECT_TRUE(f.pnlRight->isHidden());
        EXPECT_EQ(f.pnlLeft->width(), 415);
    }
    EXPECT_EQ(f.pnlBottom->geometry(), QRect(0, 349, 415, 40));
}

TEST_F(MainWindowTest, OpensCentredAtItsNarrowStartWidth) {
    TCorvaneForm& f = Show();
    ASSERT_EQ(f.width(), 417);
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(std::abs(f.frameGeometry().center().x() - centre.x()), 1) << f.x();
    EXPECT_LE(std::abs(f.frameGeometry().center().y() - centre.y()), 1) << f.y();
}

TEST_F(MainWindowTest, PicturesFromResFolder) {
    UsePictures();
    TCorvaneForm& f = Show();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    for (TClickImage* img : {f.Img1, f.Img2, f.Img3}) {
        EXPECT_FALSE(img->pixmap().isNull());
        EXPECT_EQ(img->size(), QSize(30, 30));
        EXPECT_TRUE(img->hasScaledContents());
    }
    EXPECT_EQ(f.ImgArrRight->pixmap().size(), QSize(16, 16));
    EXPECT_EQ(f.ImgArrLeft->pixmap().size(), QSize(16, 16));
}

TEST_F(MainWindowTest, WithoutResFolderArrowStillShowsPanel) {
    TCorvaneForm& f = Show();
    EXPECT_TRUE(dialogs.messages.isEmpty());
    for (TClickImage* img : {f.Img1, f.Img2, f.Img3, f.ImgArrLeft, f.ImgArrRight})
        EXPECT_TRUE(img->pixmap().isNull());
    EXPECT_TRUE(f.pnlRight->isHidden());
    // An empty 16 x 16 click target is the only way back to the panel.
    EXPECT_EQ(f.ImgArrRight->size(), QSize(16, 16));
    Click(f.ImgArrRight);
    EXPECT_FALSE(f.pnlRight->isHidden());
    EXPECT_EQ(f.ClientWidth(), 700);
}

TEST_F(MainWindowTest, UnreadablePictureIsReportedAndWindowStillNarrows) {
    UsePictures();
    QFile broken(folder.filePath("res/2.png"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("this is not a PNG");
    broken.close();
    // A folder carrying a picture's name is not a picture: skipped without a word.
    ASSERT_TRUE(QFile::remove(folder.filePath("res/1.png")));
    ASSERT_TRUE(QDir(folder.path()).mkpath("res/1.png"));

    TCorvaneForm& f = Show();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].contains(QStringLiteral("res/2.png")));
    EXPECT_TRUE(f.Img1->pixmap().isNull());
    EXPECT_TRUE(f.Img2->pixmap().isNull());
    EXPECT_TRUE(f.Img3->pixmap().isNull()) << "loading stops at the unreadable picture";
    EXPECT_TRUE(f.pnlRight->isHidden());
    EXPECT_EQ(f.ClientWidth(), 417);
    EXPECT_TRUE(f.ImgArrLeft->isHidden());
    EXPECT_FALSE(f.ImgArrRight->isHidden());
}

TEST_F(MainWindowTest, ExitClosesWindowEvenWhileCutting) {
    TCorvaneForm& f = Show();
    for (TStepGroupBox* g : {f.gbStep1, f.gbStep2, f.gbStep3})
        g->SetStepEnabled(false);
    f.Exit1->trigger();
    EXPECT_FALSE(f.isVisible());
}
