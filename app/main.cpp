// Program entry: the log is started first so even a failed start-up leaves a trace, then the
// main window and the About window are created and the message loop runs.
#include "app/TCorvaneForm.h"
#include "app/TSnipwaveApplication.h"
#include "app/VelLog.h"
#include "app/frmAbout.h"

int main(int argc, char** argv) {
    TSnipwaveApplication app(argc, argv);
    StartAppLog();
    const int result = TSnipwaveApplication::RunGuarded([&app] {
        TSnipwaveApplication::SetTitle(QStringLiteral("Quillon Snipwave"));
        TCorvaneForm form;
        TAboutForm about;
        form.SetAboutForm(&about);
        form.show();
        return app.exec();
    });
    StopAppLog();
    return result;
}
