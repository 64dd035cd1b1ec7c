// What the program entry sets up: an exception escaping start-up or the message loop is logged
// with "Error:" in front of its message and thrown on; a normal run returns its exit code; the
// application title captions the message boxes and nothing else.
#include "app/Dialogs.h"
#include "app/TSnipwaveApplication.h"
#include "job/VelLog.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

TEST(Entry, EscapingExceptionIsLoggedAndRethrown) {
    QTemporaryDir dir;
    TVelLog& log = StartAppLog(dir.path(), dir.filePath("fallback"));
    const QString file = log.FileName();

    EXPECT_EQ(TSnipwaveApplication::RunGuarded([] { return 3; }), 3);
    EXPECT_THROW(TSnipwaveApplication::RunGuarded(
                     []() -> int { throw std::runtime_error("window could not be built"); }),
                 std::runtime_error);
    StopAppLog();

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.endsWith("          Error:window could not be built\r\n")) << text.data();
    EXPECT_EQ(text.count('\n'), 1) << "a normal run logs nothing here";
}

TEST(Entry, TitleCaptionsMessagesAndNoOtherWindow) {
    const QString savedName = QCoreApplication::applicationName();
    TSnipwaveApplication::SetTitle(QStringLiteral("Quillon Snipwave"));

    QString caption;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            caption = box->windowTitle();
            box->button(QMessageBox::Ok)->click();
        }
    });
    TDialogs().ShowMessage(nullptr, QStringLiteral("Cannot open the file."));
    EXPECT_EQ(caption.toStdString(), "Quillon Snipwave");

    // Qt puts an explicitly set display name after every other window's caption; the display
    // name must stay the one Qt derives from the application's name.
    QCoreApplication::setApplicationName(QStringLiteral("renamed"));
    EXPECT_EQ(QGuiApplication::applicationDisplayName().toStdString(), "renamed");
    QCoreApplication::setApplicationName(savedName);
}
