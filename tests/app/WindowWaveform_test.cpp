// The waveform of the real window: shown and hidden from the View menu, its handles, zoom and
// scrolling by mouse, the range keys and typed times, and a cut that starts where the start
// handle was dropped into a gap. The WindowWaveformOnX suite repeats the gap cut with real input
// on an X server (the window_waveform_xvfb test).
#include "WindowFlowSupport.h"
#include "app/TWaveAdjust.h"
#include "app/TWaveView.h"
#include "controls/TVelTrackbar.h"
#include "job/TimeTexts.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <array>
#include <cmath>
#include <cstring>

namespace {

template <class Pred> bool PumpUntil(Pred pred, int timeoutMs = 60000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// One channel of ffmpeg's decode, as floats.
std::vector<float> DecodeLeft(const QString& file) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-af", "pan=mono|c0=c0", "-f", "f32le", "-"});
    p.waitForFinished(60000);
    const QByteArray bytes = p.readAllStandardOutput();
    std::vector<float> samples(size_t(bytes.size()) / sizeof(float));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
    return samples;
}

int64_t FirstLoud(const std::vector<float>& s, int64_t from, float level) {
    for (size_t i = size_t(std::max<int64_t>(0, from)); i < s.size(); ++i)
        if (std::fabs(s[i]) > level)
            return int64_t(i);
    return -1;
}

// Mouse, wheel and keys: synthesised events on Qt's offscreen platform, the X server's own
// input (xdotool) under Xvfb.
class TInput {
public:
    TInput(TCorvaneForm& f, bool real) : F(f), Real(real) {
        if (Real)
            Run({"windowfocus", "--sync", QString::number(F.winId())});
    }
    void Drag(QWidget* w, QPoint from, QPoint to) {
        if (Real) {
            Run({"mousemove", "--window", Window(), X(w, from), Y(w, from), "mousedown", "1"});
            for (int i = 1; i <= 4; ++i) {
                const QPoint p = from + (to - from) * i / 4;
                Run({"mousemove", "--window", Window(), X(w, p), Y(w, p)});
            }
            Run({"mouseup", "1"});
            QTest::qWait(50);
            return;
        }
        Send(w, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
        for (int i = 1; i <= 4; ++i)
            Send(w, QEvent::MouseMove, from + (to - from) * i / 4, Qt::NoButton, Qt::LeftButton);
        Send(w, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    }
    void CtrlWheel(QWidget* w, QPoint at, int steps) {
        if (Real) {
            Run({"mousemove", "--window", Window(), X(w, at), Y(w, at), "keydown", "ctrl", "click",
                 "--repeat", QString::number(std::abs(steps)), "--delay", "30",
                 steps > 0 ? "4" : "5", "keyup", "ctrl"});
            QTest::qWait(50);
            return;
        }
        for (int i = 0; i < std::abs(steps); ++i) {
            QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, steps > 0 ? 120 : -120),
                          Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(w, &e);
        }
    }

private:
    void Send(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
              Qt::MouseButtons buttons) {
        QMouseEvent e(type, at, w->mapToGlobal(at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
    QString Window() const { return QString::number(F.winId()); }
    QString X(QWidget* w, QPoint p) const { return QString::number(w->mapTo(&F, p).x()); }
    QString Y(QWidget* w, QPoint p) const { return QString::number(w->mapTo(&F, p).y()); }
    void Run(const QStringList& args) {
        QProcess p;
        p.start("xdotool", args);
        ASSERT_TRUE(p.waitForStarted(5000));
        // The window keeps handling events while the input arrives.
        EXPECT_TRUE(PumpUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
    TCorvaneForm& F;
    bool Real;
};

class WindowWaveformTest : public TWindowFlowTest {
protected:
    // Opens source with the waveform shown and waits for its exact peaks.
    TCorvaneForm& OpenWithWave(const QString& source) {
        TCorvaneForm& f = Show();
        OpenThroughDialog(source);
        f.WaveAdjust().Waveform1->trigger();
        EXPECT_TRUE(PumpUntil([&] {
            const TWavePeaks& p = f.WaveAdjust().Peaks();
            return p.BinCount() > 0 && p.ExactBins() == p.BinCount();
        }));
        return f;
    }
    void GapCut(bool real);
};

// The start handle dragged near the gap, the view zoomed in around it with the wheel, the
// handle dropped at a chosen place, and a cut that starts there, to the sample.
void WindowWaveformTest::GapCut(bool real) {
    const QString source = Copy("bursts12.mp3");
    TCorvaneForm& f = OpenWithWave(source);
    TWaveAdjust& wave = f.WaveAdjust();
    TWaveView* v = wave.View();
    TInput input(f, real);
    const int mid = v->WaveHeight() / 2;

    input.Drag(v, QPoint(1, mid), QPoint(int(v->UsToX(5500000)), mid));
    EXPECT_NEAR(double(wave.StartUs()), 5.5e6, 2 * v->SamplesPerPixel() / 44100 * 1e6);
    const double rate = wave.Peaks().Rate();
    for (int i = 0; i < 40 && v->SamplesPerPixel() > rate / 100 + 1; ++i)
        input.CtrlWheel(v, QPoint(int(std::lround(v->UsToX(wave.StartUs()))), mid), 2);
    EXPECT_NEAR(v->SamplesPerPixel(), rate / 100, 1) << "down to 10 ms per pixel";
    const int64_t wanted = 5432000;
    const int handle = int(std::lround(v->UsToX(wave.StartUs())));
    ASSERT_GE(handle, 0);
    ASSERT_LT(handle, v->width());
    const double target = v->UsToX(wanted);
    ASSERT_GT(target, 0) << "the zoom kept the handle's place in view";
    ASSERT_LT(target, v->width());
    input.Drag(v, QPoint(handle, mid), QPoint(int(std::lround(target)), mid));
    const int64_t chosen = wave.StartUs();
    EXPECT_NEAR(double(chosen), double(wanted), 10000);
    EXPECT_EQ(chosen % 1000, 0) << "placed to the millisecond";
    EXPECT_EQ(f.lblStartTime->text(), FormatExactTime(chosen));
    EXPECT_EQ(f.Snipwave->SegStartPos(), (chosen + 500000) / 1000000);
    EXPECT_EQ(v->StartUs(), chosen);

    dialogs.answerOk = false; // no file manager afterwards
    f.BtnPublish->click();
    ASSERT_TRUE(WaitForCutEnd());
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('\n').toStdString();
    const std::vector<float> in = DecodeLeft(source), out = DecodeLeft(Path("bursts12_new.mp3"));
    const int64_t skipped = (chosen * 44100 + 500000) / 1000000;
    // To the sample: what is left is the source from the chosen sample to its end.
    EXPECT_NEAR(double(out.size()), double(in.size()) - double(skipped), 1);
    // And it is that audio: the second burst begins where it began, less the cut-off part.
    const int64_t burstIn = FirstLoud(in, int64_t(6.5 * 44100), 0.05f);
    const int64_t burstOut = FirstLoud(out, 0, 0.05f);
    ASSERT_GT(burstIn, 0);
    ASSERT_GT(burstOut, 0);
    EXPECT_NEAR(double(burstOut), double(burstIn - skipped), 441) << "within 10 ms";
}

TEST_F(WindowWaveformTest, AStartHandleDroppedInTheGapStartsTheCutThere) {
    GapCut(false);
}

using WindowWaveformOnX = WindowWaveformTest;
TEST_F(WindowWaveformOnX, AStartHandleDroppedInTheGapStartsTheCutThere) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    GapCut(true);
}

// View > Waveform (F8) grows the window by the panel under the steps, across its width, is
// remembered, and is off at the first start; the trackbar's range shows on the waveform.
TEST_F(WindowWaveformTest, ViewWaveformGrowsTheWindowAndIsRemembered) {
    TCorvaneForm& f = Show();
    const QSize narrow = f.size();
    EXPECT_FALSE(f.WaveAdjust().Shown());
    EXPECT_FALSE(f.pnlWave->isVisible());
    for (int k = QKeySequence::HelpContents; k <= QKeySequence::Cancel; ++k)
        EXPECT_FALSE(QKeySequence::keyBindings(QKeySequence::StandardKey(k))
                         .contains(f.WaveAdjust().Waveform1->shortcut()))
            << "standard key " << k;
    f.activateWindow(); // shortcuts reach the active window only
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_F8);
    ASSERT_TRUE(f.WaveAdjust().Shown());
    EXPECT_EQ(f.size(), narrow + QSize(0, TWaveAdjust::PanelHeight));
    EXPECT_EQ(f.pnlWave->geometry(),
              QRect(0, f.pnlLeft->height(), f.ClientWidth(), TWaveAdjust::PanelHeight));
    EXPECT_EQ(f.pnlLeft->height(), 389 - 40);

    OpenThroughDialog(Copy("tone200.mp3"));
    f.Snipwave->SetSegEndPos(150);
    f.SnipwaveEndChange();
    EXPECT_EQ(f.WaveAdjust().View()->EndUs(), 150000000);

    if (qEnvironmentVariableIsSet("SNIPWAVE_WAVEFORM_SHOT")) {
        // The picture in the README: the bursts' file, a range dropped into its gap.
        OpenThroughDialog(Copy("bursts12.mp3"));
        PumpUntil([&] {
            const TWavePeaks& p = f.WaveAdjust().Peaks();
            return p.BinCount() > 0 && p.ExactBins() == p.BinCount();
        });
        f.WaveAdjust().SetStartUs(5432000);
        f.WaveAdjust().SetEndUs(11250000);
        f.ImgArrRightClick();
        f.grab().save(qEnvironmentVariable("SNIPWAVE_WAVEFORM_SHOT"));
        f.ImgArrLeftClick();
    }

    f.close();
    form.reset();
    TCorvaneForm& again = Show();
    EXPECT_TRUE(again.WaveAdjust().Shown()) << "remembered";
    EXPECT_EQ(again.size(), narrow + QSize(0, TWaveAdjust::PanelHeight));
    again.WaveAdjust().Waveform1->trigger();
    EXPECT_EQ(again.size(), narrow);
    EXPECT_FALSE(again.pnlWave->isVisible());
}

// Ctrl+wheel zooms around the pointer, the wheel and the scroll bar scroll, Home shows it all.
TEST_F(WindowWaveformTest, ZoomKeepsThePointersPlaceAndScrollingMovesTheView) {
    TCorvaneForm& f = OpenWithWave(Copy("tone200.mp3"));
    TWaveView* v = f.WaveAdjust().View();
    TInput input(f, false);
    const QPoint at(v->width() / 3, v->WaveHeight() / 2);
    const int64_t under = v->XToUs(at.x());
    input.CtrlWheel(v, at, 3);
    EXPECT_NEAR(double(v->XToUs(at.x())), double(under), v->SamplesPerPixel() / 44.1 * 1000);
    for (int i = 0; i < 30; ++i)
        input.CtrlWheel(v, at, 1);
    EXPECT_DOUBLE_EQ(v->SamplesPerPixel(), 441.0);
    const double first = v->ViewStart();
    QWheelEvent down(at, v->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(v, &down);
    EXPECT_GT(v->ViewStart(), first);
    QScrollBar* bar = v->findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    bar->setValue(bar->maximum());
    EXPECT_NEAR(v->ViewStart() + v->width() * v->SamplesPerPixel(), 200.0 * 44100, 441 * 2);
    v->setFocus();
    QTest::keyClick(v, Qt::Key_Home);
    EXPECT_EQ(v->ViewStart(), 0);
    EXPECT_NEAR(v->SamplesPerPixel() * v->width(), 200.0 * 44100, 44100);
}

// The range keys on the focused trackbar and waveform, [ and ] at the play position, and times
// typed into the labels' editor, each moving trackbar, label and waveform together.
TEST_F(WindowWaveformTest, KeysAndTypedTimesMoveTheActiveEnd) {
    TCorvaneForm& f = OpenWithWave(Copy("tone200.mp3"));
    TWaveAdjust& wave = f.WaveAdjust();
    struct TStep {
        QWidget* Target;
        int Key;
        Qt::KeyboardModifiers Mods;
        int64_t Start, End; // µs afterwards
    };
    QWidget* bar = f.Snipwave;
    QWidget* view = wave.View();
    const int64_t s = 1000000;
    const TStep steps[] = {
        {bar, Qt::Key_Right, Qt::NoModifier, 1 * s, 200 * s},
        {bar, Qt::Key_Right, Qt::ShiftModifier, 1010000, 200 * s},
        {bar, Qt::Key_PageUp, Qt::NoModifier, 11010000, 200 * s},
        {view, Qt::Key_Left, Qt::NoModifier, 10010000, 200 * s},
        {view, Qt::Key_PageDown, Qt::NoModifier, 10000, 200 * s},
        {bar, Qt::Key_PageDown, Qt::NoModifier, 0, 200 * s},
        {bar, Qt::Key_BracketRight, Qt::NoModifier, 0, 100 * s}, // the tick is at 100 s
        {view, Qt::Key_Left, Qt::ShiftModifier, 0, 99990000},    // the end is active now
        {bar, Qt::Key_PageUp, Qt::NoModifier, 0, 109990000},
        {view, Qt::Key_BracketLeft, Qt::NoModifier, 100 * s, 109990000},
    };
    f.Snipwave->SetPosition(100);
    wave.SetStartUs(0); // the start is the active end
    for (const TStep& step : steps) {
        SCOPED_TRACE(QKeySequence(step.Key | step.Mods).toString().toStdString());
        if (step.Key == Qt::Key_BracketLeft || step.Key == Qt::Key_BracketRight)
            f.Snipwave->SetPosition(100);
        step.Target->setFocus();
        QTest::keyClick(step.Target, Qt::Key(step.Key), step.Mods);
        EXPECT_EQ(wave.StartUs(), step.Start);
        EXPECT_EQ(wave.EndUs(), step.End);
        EXPECT_EQ(f.Snipwave->SegStartPos(), (step.Start + s / 2) / s);
        EXPECT_EQ(f.Snipwave->SegEndPos(), (step.End + s / 2) / s);
        EXPECT_EQ(f.lblStartTime->text(),
                  step.Start % s ? FormatExactTime(step.Start) : FormatSeconds(step.Start / s));
        EXPECT_EQ(wave.View()->StartUs(), step.Start);
    }

    struct TTyped {
        QLabel* Label;
        const char* Text;
        int64_t Start, End; // µs afterwards; the editor stays open on a text it cannot read
        bool Closes;
    };
    const TTyped typed[] = {
        {f.lblStartTime, "1:05.250", 65250000, 109990000, true},
        {f.lblEndTime, "0:02:30", 65250000, 150 * s, true},
        {f.lblEndTime, "1:75", 65250000, 150 * s, false},
        {f.lblStartTime, "-3", 65250000, 150 * s, false},
        {f.lblEndTime, "999:00", 65250000, 200 * s, true}, // clamped to the audio's end
        {f.lblStartTime, "7.5", 7500000, 200 * s, true},
    };
    for (const TTyped& t : typed) {
        SCOPED_TRACE(t.Text);
        QTest::mouseDClick(t.Label, Qt::LeftButton);
        QLineEdit* editor = wave.Editor();
        ASSERT_NE(editor, nullptr);
        EXPECT_EQ(editor->text(), t.Label->text());
        editor->setText(QString::fromLatin1(t.Text));
        QTest::keyClick(editor, Qt::Key_Return);
        EXPECT_EQ(wave.Editor() == nullptr, t.Closes);
        EXPECT_EQ(wave.StartUs(), t.Start);
        EXPECT_NEAR(double(wave.EndUs()), double(t.End), 30000);
        if (!t.Closes)
            QTest::keyClick(editor, Qt::Key_Escape);
        EXPECT_EQ(wave.Editor(), nullptr);
    }
    EXPECT_EQ(f.lblStartTime->text(), "00:00:07.500");
    EXPECT_EQ(f.Snipwave->SegStartPos(), 8);
}

// What a column shows: exact peaks dark, full scale red, silence flat, estimates light; the
// range's outside shaded.
TEST(WaveViewPaint, ColumnsShowPeaksClippingSilenceAndTheRange) {
    TWavePeaks peaks;
    const int bins = 4000; // 23 s: wider than 10 ms per pixel
    peaks.Reset(44100, int64_t(bins) * TWavePeaks::BinSamples);
    struct TPart {
        int From, To; // bins
        float Level;
        bool Exact;
    } parts[] = {{0, 1000, 0.5f, true},
                 {1000, 2000, 0.0f, true},
                 {2000, 3000, 1.0f, true},
                 {3000, 4000, 0.5f, false}};
    for (const TPart& part : parts)
        peaks.Store(part.From, std::vector<float>(size_t(part.To - part.From), -part.Level),
                    std::vector<float>(size_t(part.To - part.From), part.Level), part.Exact);
    TWaveView view;
    view.resize(400 + 2, 114);
    view.SetPeaks(&peaks);
    view.SetRange(0, peaks.DurationUs() * 3 / 4);
    const QImage image = view.grab().toImage();
    const int h = view.WaveHeight();
    const auto column = [&](int x) {
        int dark = 0, red = 0, light = 0;
        for (int y = 0; y < h; ++y) {
            const QColor c = image.pixelColor(x, y);
            red += c.red() > 150 && c.green() < 80;
            dark += c.blue() > 100 && c.red() < 80;
            light += c.blue() > 150 && c.red() > 120 && c.red() < 200 && c.green() < 220;
        }
        return std::array<int, 3>{dark, red, light};
    };
    EXPECT_GT(column(50)[0], h / 3) << "half scale, exact";
    EXPECT_EQ(column(50)[1], 0);
    EXPECT_LE(column(150)[0], 1) << "silence is one flat line";
    EXPECT_GT(column(250)[1], h * 3 / 4) << "full scale is clipping";
    EXPECT_EQ(column(350)[0], 0) << "an estimate is not drawn as exact";
    // The shading darkens what lies after the range's end.
    EXPECT_LT(image.pixelColor(398, 2).lightness(), image.pixelColor(5, 2).lightness());
}

} // namespace
