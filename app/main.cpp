// Program entry: the log is started first so even a failed start-up leaves a trace, then the
// main window and the About window are created and the message loop runs.
#include "app/TCorvaneForm.h"
#include "app/TSnipwaveApplication.h"
#include "app/VelLog.h"
#include "app/frmAbout.h"

#include <exception>

int main(int argc, char** argv) {
    TSnipwaveApplication app(argc, argv);
    StartAppLog();
    try {
        QApplication::setApplicationDisplayName(QStringLiteral("Quillon Snipwave"));
        TCorvaneForm form;
        TAboutForm about;
        form.SetAboutForm(&about);
        form.show();
        const int result = app.exec();
        StopAppLog();
        return result;
    } catch (const std::exception& e) {
        AppLog().LogInfo(QStringLiteral("Error:") + QString::fromLocal8Bit(e.what()));
        throw;
    }
}
