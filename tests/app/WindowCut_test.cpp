// Cutting from the real window: Start Cut through to the file shown in the file manager, the
// questions and log lines on the way, the failures that leave the window usable, the keyboard,
// and closing the window while a cut runs. What was written is checked with ffprobe and sox.
#include "WindowFlowSupport.h"
#include "app/TRecentFolders.h"
#include "app/TStepGroupBox.h"
#include "controls/TVelTrackbar.h"
#include "job/CutJob.h"
#include "media/encode/component/TFFEncoder.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>

namespace {
using WindowCutTest = TWindowFlowTest;

const QString ReplaceQuestion = QStringLiteral("The file exists, do you want to replace it?");
const QString SuccessQuestion = QStringLiteral(
    "Published successfully, Click \"OK\" to open the folder of the generated file.");

void SetRange(TCorvaneForm& f, qint64 start, qint64 end) {
    f.Snipwave->SetSegEndPos(end);
    f.Snipwave->SetSegStartPos(start);
}

bool AllStepsEnabled(const TCorvaneForm& f) {
    return f.gbStep1->StepEnabled() && f.gbStep2->StepEnabled() && f.gbStep3->StepEnabled();
}
} // namespace

TEST_F(WindowCutTest, CutOfTenSecondsAsksLogsReportsAndShowsTheFile) {
    // The file manager is a stand-in: no session bus, and an xdg-open that notes its argument.
    ASSERT_TRUE(QDir(folder.path()).mkpath("bin"));
    const QString fakeOpen = Path("bin/xdg-open");
    QFile script(fakeOpen);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$1\" > '%1'\n").arg(Path("shown")).toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    TEnvOverride path("PATH", (Path("bin") + ":" + qgetenv("PATH")).toLocal8Bit());
    TEnvOverride bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");

    const QString source = Copy("tone200.mp3");
    const QByteArray sum = flowcheck::Checksum(source);
    TCorvaneForm& f = Show();
    OpenThroughDialog(source);
    SetRange(f, 10, 20);
    const QString output = Path("tone200_new.mp3");
    QFile(output).open(QIODevice::WriteOnly); // an old file to replace
    dialogs.answers = {true, true};

    f.BtnPublish->click();
    EXPECT_FALSE(f.gbStep1->StepEnabled()) << "the steps wait while the cut runs";
    EXPECT_FALSE(f.BtnPublish->isEnabled());
    EXPECT_TRUE(f.Open1->isEnabled()) << "the menu stays usable";
    ASSERT_TRUE(WaitForCutEnd());

    EXPECT_EQ(dialogs.questions, QStringList({ReplaceQuestion, SuccessQuestion}));
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    EXPECT_EQ(f.pbPercent->value(), 100);
    EXPECT_TRUE(AllStepsEnabled(f));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(Path("shown")); }, 10000));
    QFile shown(Path("shown"));
    ASSERT_TRUE(shown.open(QIODevice::ReadOnly));
    EXPECT_EQ(shown.readAll().trimmed(), folder.path().toLocal8Bit());

    const QStringList log = LogMessages();
    const qsizetype begin = log.indexOf("Begin Time:00:00:10");
    ASSERT_GE(begin, 0) << log.join('\n').toStdString();
    EXPECT_EQ(log.mid(begin, 4), QStringList({"Begin Time:00:00:10", "End Time:00:00:20",
                                              "Output:" + output, "Volume:255"}));
    EXPECT_TRUE(log.contains("Completed to cut mp3 file."));

    EXPECT_EQ(flowcheck::Checksum(source), sum) << "the source is never written";
    EXPECT_NEAR(flowcheck::Duration(output), 10.0, 0.05);
    EXPECT_LT(flowcheck::PeakDb(output, 0, 0.05), -40) << "fade-in starts from silence";
    EXPECT_LT(flowcheck::PeakDb(output, 9.95, 0.05), -40) << "fade-out ends in silence";
    EXPECT_NEAR(flowcheck::PeakDb(output, 4, 2), flowcheck::PeakDb(source, 14, 2), 0.5)
        << "the source's level between the fades";
    EXPECT_EQ(f.RecentFolders().OutputFolder(), folder.path());

    // A second cut from the keyboard, at half volume, once the first has ended; the success
    // question answered with Cancel still logs the completion.
    f.tbVolume->setValue(50);
    dialogs.answers = {true, false};
    QFile::remove(Path("shown"));
    QTest::keyClick(&f, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(WaitForCutEnd());
    EXPECT_EQ(dialogs.questions.size(), 4);
    EXPECT_TRUE(LogMessages().contains("Volume:127"));
    EXPECT_EQ(LogMessages().count("Completed to cut mp3 file."), 2);
    QTest::qWait(200);
    EXPECT_FALSE(QFile::exists(Path("shown")));
}

TEST_F(WindowCutTest, CutsThatCannotStartLeaveTheWindowUsable) {
    TCorvaneForm& f = Show();
    // Ctrl+Return does nothing while Start Cut cannot be pressed.
    QTest::keyClick(&f, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(f.CutJob().Running());
    EXPECT_TRUE(dialogs.messages.isEmpty());

    // A source the probe could not read cannot become a task.
    OpenThroughDialog(Copy("notmp3.mp3"));
    dialogs.messages.clear();
    SetRange(f, 0, 5);
    f.BtnPublish->click();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].startsWith("Failed to process file, please try again."));
    EXPECT_TRUE(LogMessages().contains("None task. task count:0 <=0"));
    EXPECT_FALSE(f.CutJob().Running());
    EXPECT_TRUE(AllStepsEnabled(f));
    EXPECT_TRUE(f.BtnPublish->isEnabled());

    // An output the encoder cannot create: two missing folder levels.
    OpenThroughDialog(Copy("tone200.mp3"));
    SetRange(f, 0, 5);
    f.tFilePath->setText(Path("no/such"));
    f.BtnPublish->click();
    ASSERT_EQ(dialogs.messages.size(), 2);
    EXPECT_TRUE(dialogs.messages[1].startsWith("Failed to convert audio."));
    EXPECT_TRUE(LogMessages().contains("Failed to convert audio."));
    EXPECT_FALSE(f.CutJob().Running());
    EXPECT_TRUE(AllStepsEnabled(f));
    EXPECT_FALSE(QFileInfo::exists(Path("no/such")));

    // An empty range would make a file without audio.
    f.tFilePath->setText(folder.path());
    SetRange(f, 7, 7);
    f.BtnPublish->click();
    ASSERT_EQ(dialogs.messages.size(), 3);
    EXPECT_TRUE(dialogs.messages[2].startsWith("Nothing to cut"))
        << dialogs.messages[2].toStdString();
    EXPECT_FALSE(QFileInfo::exists(Path("tone200_new.mp3")));

    // Cancel on the replace question: nothing is started or logged.
    QFile(Path("tone200_new.mp3")).open(QIODevice::WriteOnly);
    SetRange(f, 0, 5);
    const int logged = int(LogMessages().size());
    dialogs.answers = {false};
    f.BtnPublish->click();
    EXPECT_EQ(dialogs.questions, QStringList{ReplaceQuestion});
    EXPECT_EQ(LogMessages().size(), logged);
    EXPECT_FALSE(f.CutJob().Running());
    EXPECT_EQ(QFileInfo(Path("tone200_new.mp3")).size(), 0);
}

TEST_F(WindowCutTest, ClosingDuringACutStopsItSilentlyAndLeavesAValidShorterFile) {
    TCorvaneForm& f = Show();
    OpenThroughDialog(Copy("tone200.mp3"));
    f.BtnPublish->click();
    ASSERT_TRUE(f.CutJob().Running());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.pbPercent->value() > 0; }, 60000));
    f.Exit1->trigger();
    EXPECT_FALSE(f.isVisible());
    // The close has waited for the stop: what is on disk now is the finished, shorter file.
    const double length = flowcheck::Duration(Path("tone200_new.mp3"));
    EXPECT_GT(length, 0.5);
    EXPECT_LT(length, 199);
    QTest::qWait(300); // anything still queued would land now
    EXPECT_FALSE(f.CutJob().Running());
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    EXPECT_TRUE(dialogs.questions.isEmpty());
    EXPECT_FALSE(LogMessages().contains("Completed to cut mp3 file."));
}
