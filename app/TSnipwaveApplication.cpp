#include "app/TSnipwaveApplication.h"

#include "app/Dialogs.h"
#include "job/VelLog.h"

#include <exception>

TSnipwaveApplication::TSnipwaveApplication(int& argc, char** argv) : QApplication(argc, argv) {
    ShowHandlerError = [](const QString& message) {
        TDialogs().ShowMessage(QApplication::activeWindow(), message);
    };
}

bool TSnipwaveApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowHandlerError(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void TSnipwaveApplication::SetTitle(const QString& title) {
    QCoreApplication::setApplicationName(title);
}

int TSnipwaveApplication::RunGuarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        AppLog().LogInfo(QStringLiteral("Error:") + QString::fromLocal8Bit(e.what()));
        throw;
    }
}
