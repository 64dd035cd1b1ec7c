#include "media/MyUtils.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

bool IsMainThread() {
    auto* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

void CallInMainThread(const std::function<void()>& fn) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr || IsMainThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void PumpMessages() {
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}
