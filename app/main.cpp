// Program entry: the log is started first so even a failed start-up leaves a trace, then the
// main window and the About window are created and the message loop runs. A file named on the
// command line (a file manager's "Open With" passes one) is opened as if chosen in the dialog.
#include "app/TCorvaneForm.h"
#include "app/TSignalCloser.h"
#include "app/TSnipwaveApplication.h"
#include "app/frmAbout.h"
#include "job/VelLog.h"
#include "media/FileNameBytes.h"

#include <QCommandLineParser>
#include <QIcon>

int main(int argc, char** argv) {
    TSnipwaveApplication app(argc, argv);
    StartAppLog();
    const int result = TSnipwaveApplication::RunGuarded([&] {
        TSnipwaveApplication::SetTitle(QStringLiteral("Quillon Snipwave"));
        QCoreApplication::setApplicationVersion(QStringLiteral("1.2.0"));
        // The desktop entry's name, so the desktop matches the window to its entry and icon.
        QGuiApplication::setDesktopFileName(QStringLiteral("snipwave"));
        QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/app/snipwave.png")));

        QCommandLineParser parser;
        parser.setApplicationDescription(
            QStringLiteral("Cuts a time range out of an MP3 file into a new MP3."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addPositionalArgument(QStringLiteral("file"),
                                     QStringLiteral("An MP3 file to open at start."),
                                     QStringLiteral("[FILE]"));
        // The arguments from argv itself: a file name that is not UTF-8 keeps its bytes.
        parser.process(ProgramArguments(argc, argv));

        TCorvaneForm form;
        TAboutForm about;
        form.SetAboutForm(&about);
        form.show();
        // A session logging out (SIGTERM, SIGHUP) closes the window as its close button does.
        TSignalCloser closer([&form] { form.close(); });
        if (!parser.positionalArguments().isEmpty())
            form.OpenFile(parser.positionalArguments().first());
        return app.exec();
    });
    StopAppLog();
    return result;
}
