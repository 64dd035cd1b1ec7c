// The preview window: pictures handed over from other threads are painted on the main thread, the
// newest one wins, a closed window refuses further pictures, and a previewer may die on any
// thread. The engine's own preview path feeds it through the encoder component. Under an X server
// (the previewer_window_xvfb test) the picture is checked on the screen itself.
#include "app/BitmapImage.h"
#include "app/TPreviewer.h"
#include "common/TestPaths.h"
#include "media/FFLoad.h"
#include "media/FFUtils.h"
#include "media/MyUtils.h"
#include "media/encode/component/TFFEncoder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

template <class Pred> bool PumpUntil(Pred pred, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        PumpMessages();
        QThread::msleep(2);
    }
    return true;
}

// Left half red, right half blue.
TBitmap Halves(int w, int h, AVPixelFormat format = AV_PIX_FMT_RGB24) {
    QImage image(w, h, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.fillRect(0, 0, w / 2, h, QColor(255, 0, 0));
    painter.fillRect(w / 2, 0, w - w / 2, h, QColor(0, 0, 255));
    painter.end();
    return BitmapOf(image, format);
}

bool Near(QColor c, int r, int g, int b) {
    return std::abs(c.red() - r) < 40 && std::abs(c.green() - g) < 40 &&
           std::abs(c.blue() - b) < 40;
}

TEST(Previewer, PicturesFromAnotherThreadArePaintedOnTheMainThreadNewestFirst) {
    TPreviewer previewer;
    std::thread worker([&] {
        TBitmap bitmap = Halves(64, 48);
        EXPECT_TRUE(previewer.ShowPicture(bitmap, 1, 40000));
        // The engine writes its next picture into the same bitmap: the previewer's stays as it
        // was given.
        std::fill_n(bitmap.Bits(), bitmap.SizeInBytes(), uint8_t(0xff));
        EXPECT_TRUE(previewer.ShowPicture(Halves(80, 60, AV_PIX_FMT_BGRA), 2, 3723004000));
        std::fill_n(bitmap.Bits(), bitmap.SizeInBytes(), uint8_t(0));
    });
    worker.join();
    EXPECT_EQ(previewer.Window(), nullptr) << "no widget is made off the main thread";
    ASSERT_TRUE(PumpUntil([&] { return previewer.Window() != nullptr; }));
    QWidget* window = previewer.Window();
    EXPECT_EQ(window->thread(), QApplication::instance()->thread());
    ASSERT_TRUE(PumpUntil([&] { return window->isVisible(); }));
    EXPECT_EQ(window->size(), QSize(80, 60));
    EXPECT_EQ(window->windowTitle(), TimeText(3723004000));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    const QImage shown = window->grab().toImage();
    EXPECT_TRUE(Near(shown.pixelColor(10, 30), 255, 0, 0));
    EXPECT_TRUE(Near(shown.pixelColor(70, 30), 0, 0, 255));

    // A new size resizes the window; an 8-bit picture shows its fixed palette's colours.
    EXPECT_TRUE(previewer.ShowPicture(Halves(100, 50, AV_PIX_FMT_BGR8), 3, 0));
    ASSERT_TRUE(PumpUntil([&] { return window->size() == QSize(100, 50); }));
    const QImage small = window->grab().toImage();
    EXPECT_TRUE(Near(small.pixelColor(10, 25), 255, 0, 0));
    EXPECT_TRUE(Near(small.pixelColor(90, 25), 0, 0, 255));

    // Closed by the user: no more pictures.
    window->close();
    EXPECT_TRUE(previewer.Closed());
    EXPECT_FALSE(previewer.ShowPicture(Halves(100, 50), 4, 0));
}

TEST(Previewer, DestroyedOnAWorkerItsWindowGoesOnTheMainThread) {
    auto previewer = std::make_shared<TPreviewer>();
    ASSERT_TRUE(previewer->ShowPicture(Halves(32, 32), 1, 0));
    ASSERT_TRUE(PumpUntil([&] { return previewer->Window() != nullptr; }));
    QPointer<QWidget> window = previewer->Window();
    // A paint is queued when the previewer dies: it must not run on a dead previewer.
    ASSERT_TRUE(previewer->ShowPicture(Halves(32, 32), 2, 0));
    std::thread worker([p = std::move(previewer)]() mutable { p.reset(); });
    worker.join();
    EXPECT_FALSE(window.isNull()) << "the window is not touched by the worker";
    ASSERT_TRUE(PumpUntil([&] { return window.isNull(); }));
}

// Under an X server (the previewer_window_xvfb test): the picture on the screen, sampled from a
// screenshot of the root window.
TEST(PreviewerWindowOnX, ThePictureIsOnTheScreen) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    TPreviewer previewer;
    std::thread worker([&] { EXPECT_TRUE(previewer.ShowPicture(Halves(200, 100), 1, 0)); });
    worker.join();
    ASSERT_TRUE(PumpUntil([&] { return previewer.Window() != nullptr; }));
    QWidget* window = previewer.Window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    QScreen* screen = QGuiApplication::primaryScreen();
    // The window is centred on the screen.
    const QRect area = screen->availableGeometry();
    const QPoint origin = window->mapToGlobal(QPoint(0, 0));
    EXPECT_NEAR(origin.x() + 100, area.center().x(), 20);
    QImage shot;
    const bool painted = PumpUntil(
        [&] {
            shot = screen->grabWindow(0).toImage();
            return Near(shot.pixelColor(origin + QPoint(50, 50)), 255, 0, 0) &&
                   Near(shot.pixelColor(origin + QPoint(150, 50)), 0, 0, 255);
        },
        10000);
    EXPECT_TRUE(painted) << "left " << shot.pixelColor(origin + QPoint(50, 50)).name().toStdString()
                         << ", right "
                         << shot.pixelColor(origin + QPoint(150, 50)).name().toStdString();
    if (!qEnvironmentVariableIsEmpty("SNIPWAVE_PREVIEWER_SHOT"))
        shot.save(qEnvironmentVariable("SNIPWAVE_PREVIEWER_SHOT"));
}

// The engine's preview path into the window: the component asks the factory for a previewer on
// the worker, and the pictures of the run appear in a window of the main thread.
TEST(Previewer, AnEncoderRunWithPreviewShowsItsPicturesInTheWindow) {
    if (!FFLoader().LibsLoaded(EncoderLibraries)) {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
    }
    QTemporaryDir dir;
    std::mutex made;
    std::vector<std::weak_ptr<TPreviewer>> previewers;
    TFFEncoder encoder;
    encoder.SetPreviewerFactory([&]() -> std::shared_ptr<TPreviewSink> {
        auto p = std::make_shared<TPreviewer>();
        std::lock_guard<std::mutex> lock(made);
        previewers.push_back(p);
        return p;
    });
    encoder.SetPreview(true);
    std::atomic<bool> ended{false};
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& i) {
        if (i.TaskIndex < 0)
            ended = true;
    });
    TInputOptions in;
    InitInputOptions(in);
    const int task = encoder.AddTask(testpaths::fixture("testsrc10.avi"), &in);
    ASSERT_GE(task, 0) << encoder.LastErrorText().toStdString();
    TOutputOptions out;
    InitOutputOptions(out);
    out.VideoCodec = "mpeg4";
    out.FrameSize = "160x120";
    out.DisableAudio = true;
    out.Duration = 1000000;
    out.ExtOptions = "re=1";
    ASSERT_TRUE(encoder.SetOutputFile(task, dir.filePath("p.avi"), &out))
        << encoder.LastErrorText().toStdString();
    encoder.StartTask(1);
    QPointer<QWidget> window;
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> lock(made);
        if (previewers.size() == 1)
            if (auto p = previewers[0].lock())
                window = p->Window();
        return !window.isNull();
    }));
    EXPECT_EQ(window->size(), QSize(160, 120));
    ASSERT_TRUE(PumpUntil([&] { return ended.load(); }));
    encoder.ClearTasks();
    // The run's previewer is gone with its task, and its window with it on the main thread.
    ASSERT_TRUE(PumpUntil([&] { return window.isNull(); }));
    std::lock_guard<std::mutex> lock(made);
    EXPECT_EQ(previewers.size(), 1u);
}

} // namespace
