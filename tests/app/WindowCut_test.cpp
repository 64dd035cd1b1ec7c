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
#include <QProcess>
#include <QFile>
#include <QSettings>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <algorithm>
#include <cmath>

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

    // Another file opened while a cut runs: the question and the file manager are about the
    // file that was written, not the one the fields now name.
    ASSERT_TRUE(QDir(folder.path()).mkpath("other"));
    const QString other = Path("other/mono22k.mp3");
    ASSERT_TRUE(QFile::copy(Copy("mono22k.mp3"), other));
    SetRange(f, 0, 5);
    dialogs.answers = {true, true};
    f.BtnPublish->click();
    OpenThroughDialog(other);
    ASSERT_TRUE(WaitForCutEnd());
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(Path("shown")); }, 10000));
    QFile shownAgain(Path("shown"));
    ASSERT_TRUE(shownAgain.open(QIODevice::ReadOnly));
    EXPECT_EQ(shownAgain.readAll().trimmed(), folder.path().toLocal8Bit());
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

// VBR files without an info tag, whose header length is a guess from the first frame's rate: too
// long for a quiet start cut short by a lost download, too short for a loud start. The trackbar
// ends at that guess; a range to its end is cut to the real end of the audio, as the command line
// cuts an end past the audio.
TEST_F(WindowCutTest, ARangeToTheTrackbarsEndIsCutToTheRealEndOfTheAudioAsOnTheCommandLine) {
    struct TCase {
        const char* Name;
        const char* Source; // lavfi
        double Keep;        // share of the file's bytes left
    } cases[] = {
        {"quietstart",
         "anullsrc=r=44100:cl=stereo:d=3[a];anoisesrc=d=57:a=0.5[b];[a][b]concat=v=0:a=1", 0.7},
        {"loudstart",
         "anoisesrc=d=2:a=0.8[a];sine=f=440:d=58,aformat=cl=stereo[b];[a][b]concat=v=0:a=1", 1.0},
    };
    TCorvaneForm& f = Show();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString source = Path(QString(c.Name) + ".mp3");
        QProcess make;
        make.start("ffmpeg", {"-v", "error", "-y", "-filter_complex", c.Source, "-c:a",
                              "libmp3lame", "-q:a", "2", "-write_xing", "0", source});
        ASSERT_TRUE(make.waitForFinished(60000) && make.exitCode() == 0);
        QFile file(source);
        ASSERT_TRUE(file.resize(qint64(file.size() * c.Keep)));
        const double real = flowcheck::Duration(source); // ffprobe's guess too
        OpenThroughDialog(source);
        dialogs.messages.clear();
        f.BtnPublish->click();
        ASSERT_TRUE(WaitForCutEnd());
        EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
        const QString windowCut = Path(QString(c.Name) + "_new.mp3");

        const QString cliCut = Path(QString(c.Name) + "_cli.mp3");
        QProcess cli;
        cli.start(QStringLiteral(SNIPWAVE_BUILD_DIR "/snipwave-cli"),
                  {"cut", source, "--start", "0", "--end", "99:00", "--output", cliCut});
        ASSERT_TRUE(cli.waitForFinished(120000));
        ASSERT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
        // The same audio: the decodes are the same samples.
        auto decode = [](const QString& mp3) {
            QProcess p;
            p.start("ffmpeg", {"-v", "error", "-i", mp3, "-f", "s16le", "-"});
            p.waitForFinished(60000);
            return p.readAllStandardOutput();
        };
        const QByteArray fromWindow = decode(windowCut);
        EXPECT_GT(fromWindow.size(), 44100 * 4 * 20);
        EXPECT_TRUE(fromWindow == decode(cliCut)) << "the window and the command line differ";
        EXPECT_GT(std::abs(flowcheck::Duration(windowCut) - real), 1.0)
            << "the header's guess was " << real << " s: not the audio's end";
        const QStringList log = LogMessages();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const QString& l) {
            return l.startsWith("The range ends where the audio ends: ");
        }));
    }
}

// The Options menu's smart cut: off at first, passed to the cut, remembered, and the log says
// which way each cut was made.
TEST_F(WindowCutTest, TheSmartCutOptionIsOffAtFirstRememberedAndLogged) {
    const QString source = Copy("tone200.mp3");
    TCorvaneForm& f = Show();
    auto* smart = f.findChild<QAction*>(QStringLiteral("SmartCutOption"));
    ASSERT_NE(smart, nullptr);
    EXPECT_FALSE(smart->isChecked());
    OpenThroughDialog(source);
    SetRange(f, 10, 20);
    dialogs.answers = {true, true, true};
    f.BtnPublish->click();
    ASSERT_TRUE(WaitForCutEnd());
    EXPECT_TRUE(LogMessages().contains("Cut: the range is re-encoded (smart cut is off)."));

    smart->setChecked(true);
    EXPECT_TRUE(QSettings(TRecentFolders::DefaultFileName(), QSettings::IniFormat)
                    .value("Options/SmartCut")
                    .toBool());
    f.BtnPublish->click();
    ASSERT_TRUE(WaitForCutEnd());
    EXPECT_TRUE(LogMessages().contains(
        "Smart cut: the fades are re-encoded, the frames between them copied."))
        << LogMessages().join('\n').toStdString();
    EXPECT_NEAR(flowcheck::Duration(Path("tone200_new.mp3")), 10.0, 0.05);
    smart->setChecked(false); // the next window starts as the user left it
}
