// Opening a source in the real window: through the dialog, the command line and a drop; what the
// panel, the log, the labels and the trackbar then show; the failures; the time hint over the
// trackbar and the remembered folder.
#include "WindowFlowSupport.h"
#include "app/TRecentFolders.h"
#include "app/TStepGroupBox.h"
#include "common/TestPaths.h"
#include "controls/TVelTrackbar.h"

#include <QAction>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace {
using WindowOpenTest = TWindowFlowTest;

QStringList PanelLines(const TCorvaneForm& f) {
    return f.mmInfo->toPlainText().split(QLatin1Char('\n'));
}

// A drop of urls onto the window as a file manager makes it; true when the window took it.
bool Drop(TCorvaneForm& f, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = f.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &drop);
    return drop.isAccepted();
}
} // namespace

TEST_F(WindowOpenTest, DialogFillsPanelLogLabelsAndRangeAndALaterOpenReplacesThem) {
    const QString source = Copy("tone200.mp3");
    TCorvaneForm& f = Show();
    f.pbPercent->setValue(40);
    OpenThroughDialog(source);

    EXPECT_EQ(dialogs.openFilters, QStringList{"Support file(*.mp3)"});
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    EXPECT_EQ(f.btnOpenFile->text(), source);
    EXPECT_EQ(f.tFilePath->text(), folder.path() + "/");
    EXPECT_EQ(f.tFileName->text(), "tone200_new.mp3");
    EXPECT_EQ(f.pbPercent->value(), 0);

    const QStringList panel = PanelLines(f);
    ASSERT_EQ(panel.size(), 18) << f.mmInfo->toPlainText().toStdString();
    for (int i = 1; i < panel.size(); i += 2)
        EXPECT_TRUE(panel[i].isEmpty()) << "an empty line after each line";
    EXPECT_EQ(panel[0], "File Name: " + source);
    EXPECT_TRUE(panel[2].startsWith("Type: MP2/3")) << panel[2].toStdString();
    EXPECT_EQ(panel[4], "Title: ");
    EXPECT_EQ(panel[10], "Year: 0");
    EXPECT_EQ(panel[14], "Duration: 00:03:20");
    EXPECT_EQ(panel[16], "Bit Rate: 128 kbps");

    // The log holds the block with the blank lines left out, but the empty tags kept.
    const QStringList log = LogMessages();
    const qsizetype head = log.indexOf("============ file info ================");
    ASSERT_GE(head, 0) << log.join('\n').toStdString();
    EXPECT_EQ(log.mid(head + 1, 9), QStringList({panel[0], panel[2], panel[4], panel[6], panel[8],
                                                 panel[10], panel[12], panel[14], panel[16]}));
    EXPECT_EQ(log.value(head + 10), "=======================================");

    EXPECT_EQ(f.lblStartTime->text(), "00:00:00");
    EXPECT_EQ(f.lblEndTime->text(), "00:03:20");
    EXPECT_EQ(f.Snipwave->Max(), 200);
    EXPECT_EQ(f.Snipwave->SegStartPos(), 0);
    EXPECT_EQ(f.Snipwave->SegEndPos(), 200);
    EXPECT_EQ(f.Snipwave->Position(), 0);
    EXPECT_TRUE(f.Snipwave->isEnabled());
    EXPECT_TRUE(f.BtnPublish->isEnabled());
    EXPECT_TRUE(f.BtnPlay->isEnabled());
    EXPECT_TRUE(f.BtnStop->isEnabled()) << "the first open leaves both Play and Stop usable";

    // A later open, from the menu: tags show, Stop comes back disabled.
    const QString tagged = Copy("tagged.mp3");
    f.Snipwave->SetSegStartPos(30);
    dialogs.openAnswer = tagged;
    f.Open1->trigger();
    EXPECT_EQ(f.tFileName->text(), "tagged_new.mp3");
    EXPECT_EQ(PanelLines(f).value(4), "Title: Tone Title");
    EXPECT_EQ(PanelLines(f).value(6), "Artist: Tone Artist");
    EXPECT_EQ(PanelLines(f).value(10), "Year: 2024");
    EXPECT_EQ(f.Snipwave->SegStartPos(), 0);
    EXPECT_TRUE(f.BtnPlay->isEnabled());
    EXPECT_FALSE(f.BtnStop->isEnabled());

    // Cancelling keeps the name but empties the panel and takes the range back to the whole.
    f.Snipwave->SetSegStartPos(50);
    f.Snipwave->SetSegEndPos(60);
    dialogs.openAnswer.clear();
    f.btnOpenFileButton->trigger();
    EXPECT_EQ(f.btnOpenFile->text(), tagged);
    EXPECT_TRUE(f.mmInfo->toPlainText().isEmpty());
    EXPECT_EQ(f.Snipwave->SegStartPos(), 0);
    EXPECT_EQ(f.Snipwave->SegEndPos(), 200);
    EXPECT_EQ(f.lblEndTime->text(), "00:03:20");
}

TEST_F(WindowOpenTest, LengthIsCutToWholeSecondsAndAnUnreadableFileIsReported) {
    const QString shortFile = Path("almost60.mp3");
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=44100:duration=59.9", "-c:a",
                            "libmp3lame", "-b:a", "128k", shortFile});
    ASSERT_TRUE(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
    TCorvaneForm& f = Show();
    OpenThroughDialog(shortFile);
    EXPECT_EQ(f.Snipwave->Max(), 59);
    EXPECT_EQ(f.Snipwave->SegEndPos(), 59);
    EXPECT_EQ(f.lblEndTime->text(), "00:00:59");

    const QString broken = Copy("notmp3.mp3");
    OpenThroughDialog(broken);
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].startsWith("Failed to load file, error message: "))
        << dialogs.messages[0].toStdString();
    EXPECT_TRUE(LogMessages().contains(dialogs.messages[0])) << "logged as it was shown";
    EXPECT_TRUE(f.mmInfo->toPlainText().isEmpty());
    EXPECT_EQ(f.btnOpenFile->text(), broken);
    EXPECT_EQ(f.tFileName->text(), "notmp3_new.mp3");
    EXPECT_TRUE(f.gbStep2->isEnabled());
    EXPECT_TRUE(f.BtnPublish->isEnabled());
    EXPECT_EQ(f.Snipwave->Max(), 59) << "the range is that of the restore before the dialog";
}

TEST_F(WindowOpenTest, CommandLineFileAndDropOpenAsTheDialogDoes) {
    const QString source = Copy("tone200.mp3");
    Copy("mono22k.mp3");
    TCorvaneForm& f = Show();
    // A relative name, as a shell passes it, is taken against the current folder.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    f.OpenFile("tone200.mp3");
    QDir::setCurrent(previous);
    EXPECT_EQ(f.btnOpenFile->text(), source);
    EXPECT_EQ(f.Snipwave->Max(), 200);
    EXPECT_TRUE(f.BtnPublish->isEnabled());
    EXPECT_TRUE(dialogs.openFilters.isEmpty()) << "no dialog";

    EXPECT_FALSE(Drop(f, {QUrl::fromLocalFile(Copy("tone10.wav"))})) << "only MP3s are taken";
    EXPECT_FALSE(Drop(f, {QUrl("https://example.org/song.mp3")}));
    ASSERT_TRUE(Drop(
        f, {QUrl::fromLocalFile(Path("tone10.wav")), QUrl::fromLocalFile(Path("mono22k.mp3"))}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Snipwave->Max() == 30; }, 10000));
    EXPECT_EQ(f.btnOpenFile->text(), Path("mono22k.mp3"));
    EXPECT_EQ(PanelLines(f).value(16), "Bit Rate: 64 kbps");
    EXPECT_TRUE(dialogs.messages.isEmpty());

    // A drop whose open is still queued when the window closes opens nothing.
    ASSERT_TRUE(Drop(f, {QUrl::fromLocalFile(source)}));
    f.close();
    QTest::qWait(100);
    EXPECT_EQ(f.btnOpenFile->text(), Path("mono22k.mp3"));
}

TEST_F(WindowOpenTest, DialogsStartInTheFoldersLastUsedAcrossStarts) {
    ASSERT_TRUE(QDir(folder.path()).mkpath("music"));
    ASSERT_TRUE(QDir(folder.path()).mkpath("out"));
    const QString source = Path("music/tone.mp3");
    ASSERT_TRUE(QFile::copy(testpaths::fixture("tone200.mp3"), source));
    TCorvaneForm* f = &Show();
    OpenThroughDialog(source);
    EXPECT_EQ(dialogs.openFolders.value(0), QString()) << "nothing remembered on a first start";
    dialogs.folderAnswer = Path("out");
    f->tFilePathButton->trigger();

    form.reset(); // the next start
    f = &Show();
    OpenThroughDialog(QString());
    EXPECT_EQ(dialogs.openFolders.value(1), Path("music"));
    f->gbStep3->SetStepEnabled(true);
    f->tFilePath->setText(Path("gone"));
    dialogs.folderAnswer.reset();
    f->tFilePathButton->trigger();
    EXPECT_EQ(dialogs.folderStarts.value(1), Path("out"))
        << "a folder field naming no folder starts where the user last cut into";
    EXPECT_EQ(TRecentFolders(Path("config/quillon/snipwave.conf")).OpenFolder(), Path("music"));
}

TEST_F(WindowOpenTest, HintFollowsThePressOnTheTrackAndMarkerDragsSetTheLabels) {
    TCorvaneForm& f = Show();
    OpenThroughDialog(Copy("tone200.mp3"));
    TVelTrackbar* t = f.Snipwave;
    const int y = t->TickRect().Top + 3;
    ASSERT_FALSE(f.pnlHintTime->isVisible());

    // A press on the bare track: the hint shows the tick's time as it stood before the press.
    t->SetPosition(40);
    const QPoint bare(t->ValueToPixel(120), y);
    QTest::mousePress(t, Qt::LeftButton, {}, bare);
    EXPECT_TRUE(f.pnlHintTime->isVisible());
    EXPECT_EQ(f.pnlHintTime->text(), "00:00:40");
    EXPECT_EQ(f.pnlHintTime->pos(), QPoint(bare.x() + t->x() + 10, bare.y() + t->y() + 10));
    QTest::mouseRelease(t, Qt::LeftButton, {}, bare);
    EXPECT_FALSE(f.pnlHintTime->isVisible());

    // Dragging the start marker to 1:05 shows the time in the hint and the start label.
    const TVelRect marker = t->SegStartRect();
    const QPoint grip((marker.Left + marker.Right) / 2, (marker.Top + marker.Bottom) / 2);
    QTest::mousePress(t, Qt::LeftButton, {}, grip);
    EXPECT_TRUE(f.pnlHintTime->isVisible());
    int x = grip.x();
    while (t->SegStartPos() < 65 && x < t->width()) {
        const QPointF at(++x, grip.y());
        QMouseEvent move(QEvent::MouseMove, at, t->mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(t, &move);
    }
    ASSERT_EQ(t->SegStartPos(), 65);
    EXPECT_EQ(f.pnlHintTime->text(), "00:01:05");
    EXPECT_EQ(f.lblStartTime->text(), "00:01:05");
    QTest::mouseRelease(t, Qt::LeftButton, {}, QPoint(x, grip.y()));

    // Restore brings back the whole file, whatever the tick does.
    f.BtnRestore->click();
    EXPECT_EQ(t->SegStartPos(), 0);
    EXPECT_EQ(t->SegEndPos(), 200);
    EXPECT_EQ(f.lblStartTime->text(), "00:00:00");
    EXPECT_EQ(f.lblEndTime->text(), "00:03:20");
}

TEST_F(WindowOpenTest, KeyboardOpensAndQuitsAndTabsThroughTheSteps) {
    TCorvaneForm& f = Show();
    dialogs.openAnswer = Copy("tone200.mp3");
    QTest::keyClick(&f, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs.openFilters.size(), 1);
    EXPECT_EQ(f.Snipwave->Max(), 200);

    const QList<QWidget*> steps = {f.btnOpenFile, f.Snipwave,   f.BtnPlay,
                                   f.BtnStop,     f.BtnRestore, f.BtnVolume,
                                   f.tFilePath,   f.tFileName,  f.BtnPublish};
    for (int i = 1; i < steps.size(); ++i) {
        QWidget* next = steps[i - 1]->nextInFocusChain();
        while (next != steps[i] && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, steps[i]) << "after " << i - 1;
    }

    QTest::keyClick(&f, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(f.isVisible());
}
