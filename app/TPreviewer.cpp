#include "app/TPreviewer.h"

#include "app/BitmapImage.h"
#include "media/FFUtils.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <QWindow>

// The window: paints the last picture it was given at its top-left corner.
class TPreviewerWindow : public QWidget {
public:
    explicit TPreviewerWindow(std::shared_ptr<TPreviewer::TShared> shared)
        : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                               Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowCloseButtonHint),
          FShared(std::move(shared)) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
    }

    void SetPicture(QImage picture, int64_t pts) {
        const bool first = FPicture.isNull();
        const bool resized = picture.size() != FPicture.size();
        FPicture = std::move(picture);
        if (resized)
            setFixedSize(FPicture.size());
        if (first) {
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                QRect r(QPoint(0, 0), FPicture.size());
                r.moveCenter(screen->availableGeometry().center());
                move(r.topLeft());
            }
            show();
        }
        setWindowTitle(TimeText(pts));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (!FPicture.isNull())
            painter.drawImage(QPoint(0, 0), FPicture);
    }
    // The window has no room to grab but its picture: a press anywhere moves it.
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && windowHandle() != nullptr &&
            windowHandle()->startSystemMove())
            return;
        QWidget::mousePressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        {
            std::lock_guard<std::mutex> lock(FShared->Lock);
            FShared->Closed = true;
            FShared->Picture = TBitmap();
        }
        QWidget::closeEvent(event);
    }

private:
    std::shared_ptr<TPreviewer::TShared> FShared;
    QImage FPicture;
};

// The main thread's side of a previewer: owns the window and paints into it.
class TPreviewerHost : public QObject {
public:
    explicit TPreviewerHost(std::shared_ptr<TPreviewer::TShared> shared)
        : FShared(std::move(shared)) {}
    ~TPreviewerHost() override { delete FWindow.data(); }

    void Paint() {
        TBitmap picture;
        int64_t pts = 0;
        {
            std::lock_guard<std::mutex> lock(FShared->Lock);
            FShared->PaintQueued = false;
            if (FShared->Closed || FShared->Picture.IsNull())
                return;
            picture = std::move(FShared->Picture);
            FShared->Picture = TBitmap();
            pts = FShared->Pts;
        }
        if (!FWindow)
            FWindow = new TPreviewerWindow(FShared);
        FWindow->SetPicture(ImageOf(picture), pts);
    }
    QWidget* Window() const { return FWindow.data(); }

private:
    std::shared_ptr<TPreviewer::TShared> FShared;
    QPointer<TPreviewerWindow> FWindow;
};

TPreviewer::TPreviewer() : FShared(std::make_shared<TShared>()) {
    auto* host = new TPreviewerHost(FShared);
    // Made on whichever thread wants a previewer (the engine's worker asks for it on its first
    // picture); it belongs to the main thread from the start.
    if (QCoreApplication* app = QCoreApplication::instance();
        app != nullptr && host->thread() != app->thread())
        host->moveToThread(app->thread());
    FHost = host;
}

TPreviewer::~TPreviewer() {
    {
        std::lock_guard<std::mutex> lock(FShared->Lock);
        FShared->Closed = true;
        FShared->Picture = TBitmap();
    }
    // The main thread deletes it, with the window and any paint still queued for it. A queued
    // call rather than deleteLater: the application may only be pumping events, not running a
    // loop that would reach deferred deletions.
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == FHost->thread())
        delete FHost;
    else
        QMetaObject::invokeMethod(
            app, [host = FHost] { delete host; }, Qt::QueuedConnection);
}

bool TPreviewer::ShowPicture(const TBitmap& bitmap, int frame, int64_t pts) {
    bool queue;
    {
        std::lock_guard<std::mutex> lock(FShared->Lock);
        if (FShared->Closed)
            return false;
        // Shared, not copied: the engine writes its next picture into a bitmap only while no one
        // else holds its pixels, and takes new ones otherwise.
        FShared->Picture = bitmap;
        FShared->Frame = frame;
        FShared->Pts = pts;
        queue = !FShared->PaintQueued;
        FShared->PaintQueued = true;
    }
    if (queue)
        QMetaObject::invokeMethod(
            FHost, [host = FHost] { host->Paint(); }, Qt::QueuedConnection);
    return true;
}

TPreviewSinkFactory TPreviewer::Factory() {
    return [] { return std::make_shared<TPreviewer>(); };
}

QWidget* TPreviewer::Window() const {
    return FHost->Window();
}

bool TPreviewer::Closed() const {
    std::lock_guard<std::mutex> lock(FShared->Lock);
    return FShared->Closed;
}
