// Previewing from the real window: Play from the tick into SDL's disk audio device, the tick
// following the position and the preview ending at the segment end, the volume slider, the
// pause and resume around a press on the track, Space, a missing source, and closing while it
// plays.
#include "WindowFlowSupport.h"
#include "common/Mp3Variants.h"
#include "controls/TVelTrackbar.h"
#include "media/play/TFFPlayer.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Plays into a file, about four times faster than real time.
class WindowPreviewTest : public TWindowFlowTest {
protected:
    void SetUp() override {
        TWindowFlowTest::SetUp();
        m_driver = std::make_unique<TEnvOverride>("SDL_AUDIODRIVER", "disk");
        m_file =
            std::make_unique<TEnvOverride>("SDL_DISKAUDIOFILE", Path("played.pcm").toLocal8Bit());
        m_delay = std::make_unique<TEnvOverride>("SDL_DISKAUDIODELAY", "5");
    }
    void TearDown() override {
        TWindowFlowTest::TearDown();
        m_delay.reset();
        m_file.reset();
        m_driver.reset();
    }

    TCorvaneForm& OpenTone() {
        TCorvaneForm& f = Show();
        OpenThroughDialog(Copy("tone200.mp3"));
        return f;
    }

    template <class Pred> bool PumpUntil(Pred pred, int timeoutMs = 30000) {
        QElapsedTimer timer;
        timer.start();
        while (!pred()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QTest::qWait(5);
        }
        return true;
    }

private:
    std::unique_ptr<TEnvOverride> m_driver, m_file, m_delay;
};

TEST_F(WindowPreviewTest, PlayStartsAtTheTickAndStopsAtTheSegmentEndWhereTheTickRests) {
    TCorvaneForm& f = OpenTone();
    TVelTrackbar* t = f.Snipwave;
    t->SetSegEndPos(20);
    t->SetSegStartPos(10);
    t->SetPosition(14);

    f.BtnPlay->click();
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    EXPECT_FALSE(f.BtnPlay->isEnabled());
    EXPECT_TRUE(f.BtnStop->isEnabled());
    EXPECT_EQ(f.Player().AudioVolume(), 128);
    ASSERT_TRUE(PumpUntil([&] { return f.BtnPlay->isEnabled(); })) << "the preview never ended";
    EXPECT_FALSE(f.BtnStop->isEnabled());
    EXPECT_EQ(t->Position(), 20);
    // What reached the device: from 14 s to the end of the segment, give or take the buffers
    // the device had taken in before the stop (44.1 kHz, two channels, 16-bit).
    PumpUntil([&] { return !f.Player().IsOpen(); }, 5000);
    const double seconds = QFileInfo(Path("played.pcm")).size() / (44100.0 * 4);
    EXPECT_GT(seconds, 5.0);
    EXPECT_LT(seconds, 9.0);
}

TEST_F(WindowPreviewTest, TheVolumeSliderSetsThePlayersLevelWhilePlaying) {
    TCorvaneForm& f = OpenTone();
    f.Snipwave->SetPosition(0);
    f.tbVolume->setValue(50);
    f.BtnPlay->click();
    EXPECT_EQ(f.Player().AudioVolume(), 64);
    f.tbVolume->setValue(0);
    EXPECT_EQ(f.Player().AudioVolume(), 0);
    f.tbVolume->setValue(100);
    EXPECT_EQ(f.Player().AudioVolume(), 128);
    f.BtnStop->click();
    EXPECT_TRUE(f.BtnPlay->isEnabled());

    // The slider pops up under the Volume button with its bottom edge on the button's, and
    // goes when the mouse leaves it.
    QTest::mousePress(f.BtnVolume, Qt::LeftButton, {}, QPoint(20, 5));
    EXPECT_TRUE(f.tbVolume->isVisible());
    EXPECT_EQ(f.tbVolume->x(), f.BtnVolume->x() + 20 - 5);
    EXPECT_EQ(f.tbVolume->geometry().bottom(), f.BtnVolume->geometry().bottom());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(f.tbVolume, &leave);
    EXPECT_FALSE(f.tbVolume->isVisible());
}

TEST_F(WindowPreviewTest, APressOnTheTrackPausesAndItsReleaseSeeksAndResumes) {
    TCorvaneForm& f = OpenTone();
    TVelTrackbar* t = f.Snipwave;
    t->SetPosition(30);
    f.BtnPlay->click();
    ASSERT_TRUE(f.Player().IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return t->Position() > 30; }));

    const QPoint bare(t->ValueToPixel(150), t->TickRect().Top + 3);
    QTest::mousePress(t, Qt::LeftButton, {}, bare);
    EXPECT_TRUE(f.Player().IsPaused());
    QTest::mouseRelease(t, Qt::LeftButton, {}, bare);
    EXPECT_FALSE(f.Player().IsPaused());
    // A press on the bare track leaves the tick where it was: the preview goes on from there
    // (reaching 150 s from there only meant playing fast enough for long enough).
    const int64_t heldAt = t->Position();
    EXPECT_LT(heldAt, 40);
    ASSERT_TRUE(PumpUntil([&] { return t->Position() >= heldAt + 3; }, 10000));
    EXPECT_LT(f.Player().CurrentPosition(), 150000000);
    f.BtnStop->click();
}

TEST_F(WindowPreviewTest, SpaceTogglesThePreviewAndAMissingSourceIsSaidBeforeThePlayersError) {
    TCorvaneForm& f = OpenTone();
    f.Snipwave->SetPosition(100);
    QTest::keyClick(&f, Qt::Key_Space);
    EXPECT_TRUE(f.Player().IsOpen());
    EXPECT_FALSE(f.BtnPlay->isEnabled());
    QTest::keyClick(&f, Qt::Key_Space);
    EXPECT_TRUE(f.BtnPlay->isEnabled());

    const QString source = f.btnOpenFile->text();
    ASSERT_TRUE(QFile::remove(source));
    dialogs.messages.clear();
    f.BtnPlay->click();
    ASSERT_EQ(dialogs.messages.size(), 2);
    EXPECT_EQ(dialogs.messages[0], QLatin1Char('"') + source + QStringLiteral("\" do not exist."));
    EXPECT_FALSE(dialogs.messages[1].isEmpty());
    EXPECT_TRUE(f.BtnPlay->isEnabled()) << "the buttons keep their states after a failure";
}

TEST_F(WindowPreviewTest, ClosingWhilePlayingEndsThePreviewAndNothingReachesTheWindowAfter) {
    TCorvaneForm& f = OpenTone();
    f.Snipwave->SetPosition(0);
    f.BtnPlay->click();
    ASSERT_TRUE(PumpUntil([&] { return f.Snipwave->Position() > 0; }));
    f.close();
    form.reset(); // a late position event would now reach freed memory
    QTest::qWait(300);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(WindowPreviewTest, PlayAgainDuringTheOpenAndAFileThatPlaysNothingLeaveOnePreviewOrNone) {
    TCorvaneForm& f = OpenTone();
    f.Snipwave->SetPosition(50);
    // What runs from the open's own wait (a queued call here; the user's input waits for it)
    // finds Play not offered and the preview already opening.
    bool offered = true;
    QMetaObject::invokeMethod(
        &f,
        [&] {
            offered = f.BtnPlay->isEnabled() || f.BtnStop->isEnabled();
            f.BtnPlay->click();
            f.StartPreview();
        },
        Qt::QueuedConnection);
    f.BtnPlay->click();
    QTest::qWait(50);
    EXPECT_FALSE(offered);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    EXPECT_TRUE(f.Player().IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return f.Snipwave->Position() > 50; }));
    f.BtnStop->click();

    // Valid headers over data no decoder takes: the preview ends by itself and Play is back.
    OpenThroughDialog(mp3variants::WithGarbagePayload(Copy("tone200.mp3"), folder.path()));
    f.BtnPlay->click();
    EXPECT_FALSE(f.BtnPlay->isEnabled());
    EXPECT_TRUE(PumpUntil([&] { return f.BtnPlay->isEnabled(); }, 5000));
    EXPECT_FALSE(f.BtnStop->isEnabled());
}

// Under an X server (the window_preview_xvfb test): Play clicked twice and Space pressed twice
// for real, through the X server's own input queue, at the gaps a hand makes.
using WindowPreviewOnX = WindowPreviewTest;

TEST_F(WindowPreviewOnX, PlayOrSpacePressedTwiceOpensOnePreview) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    TCorvaneForm& f = OpenTone();
    const int runs = std::max(1, qEnvironmentVariableIntValue("SNIPWAVE_DOUBLE_PRESS_RUNS"));
    const QString window = QString::number(f.winId());
    const QPoint play = f.BtnPlay->mapTo(&f, f.BtnPlay->rect().center());
    auto xdotool = [&](const QStringList& args) {
        QProcess p;
        p.start("xdotool", args);
        EXPECT_TRUE(p.waitForStarted(5000));
        // The window keeps handling events while the keys and clicks arrive.
        EXPECT_TRUE(PumpUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    };
    xdotool({"windowfocus", "--sync", window});
    ASSERT_TRUE(PumpUntil([&] { return f.isActiveWindow(); }, 5000));
    struct TPress {
        const char* Name;
        QStringList Args;
        bool PlaysAfter; // a second Space stops what the first started
    };
    std::vector<TPress> presses;
    for (const char* gap : {"0", "10", "30", "100"})
        presses.push_back(
            {gap,
             {"mousemove", "--window", window, QString::number(play.x()), QString::number(play.y()),
              "click", "--repeat", "2", "--delay", gap, "1"},
             true});
    presses.push_back({"space", {"key", "--delay", "0", "space", "space"}, false});
    for (const TPress& press : presses) {
        for (int run = 0; run < runs; ++run) {
            SCOPED_TRACE(std::string(press.Name) + " run " + std::to_string(run));
            f.Snipwave->SetPosition(20);
            ASSERT_TRUE(f.BtnPlay->isEnabled());
            xdotool(press.Args);
            // Both presses have been handled once the open is over and the queue is empty.
            QTest::qWait(150);
            ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
            if (press.PlaysAfter) {
                ASSERT_TRUE(f.BtnStop->isEnabled());
                ASSERT_FALSE(f.BtnPlay->isEnabled());
                ASSERT_TRUE(PumpUntil([&] { return f.Snipwave->Position() > 20; }, 10000));
                f.BtnStop->click();
            } else {
                ASSERT_TRUE(PumpUntil([&] { return f.BtnPlay->isEnabled(); }, 10000));
            }
            ASSERT_TRUE(PumpUntil([&] { return !f.Player().IsOpen(); }, 10000));
        }
    }
}

} // namespace
