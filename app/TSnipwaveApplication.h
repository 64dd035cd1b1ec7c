#pragma once
// app/ — what draws or asks: the main window (TCorvaneForm and its step files), its parts
// (TStepGroupBox, TClickImage, TRecentFolders), dialogs, the previewer, the About window, the
// shell helpers (SysInfoUtils), the signal closer and this application object. The cutting job
// itself is job/'s; the window gathers the user's choices, starts the job and shows its outcome.
//
// May include: job/, controls/, media/ and its parts, Qt Widgets and Qt D-Bus. Only the
// program's entry (app/main.cpp) and the window's tests include app/.
//
// Threads: the main thread owns every widget and runs every handler. The engine's and the
// player's threads reach the window only through the components' main-thread events or queued
// calls; the previewer takes pictures on the engine's worker and paints them on the main thread.
//
// The application object. An exception that escapes an event handler is shown to the user in a
// plain message box and the message loop carries on, so one failed action never takes the
// window down; only exceptions outside the loop's handlers reach the program entry.

#include <QApplication>
#include <functional>

class TSnipwaveApplication : public QApplication {
    Q_OBJECT
public:
    TSnipwaveApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the message of an exception caught from a handler; replaceable for tests.
    std::function<void(const QString&)> ShowHandlerError;

    // The application title: the caption of the plain message boxes. It is kept as the
    // application's name, not as a display name, because the window system appends a display
    // name to every other window's caption and the questions must read "Infomation" alone.
    static void SetTitle(const QString& title);

    // Runs the program's start-up and message loop. An exception escaping them is written to
    // AppLog as "Error:" followed by its message and thrown on, ending the program.
    static int RunGuarded(const std::function<int()>& body);
};
