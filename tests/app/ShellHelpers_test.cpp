// The window's links to the desktop, with the desktop replaced by scripts on PATH and URL
// handlers: folder choice, default browser and its fall-back, the mail link, and showing a file
// when no file manager answers on the bus.
#include "WindowTestSupport.h"
#include "app/SysInfoUtils.h"
#include "app/TCorvaneForm.h"
#include "app/TStepGroupBox.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QThread>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {
// Writes an executable shell script.
void WriteScript(const QString& path, const QByteArray& body) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("#!/bin/sh\n" + body);
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

// Waits for a detached program to leave its file behind.
QString WaitForFile(const QString& path) {
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path) && timer.elapsed() < 10000)
        QTest::qWait(20);
    QTest::qWait(50); // let the writer finish the line
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

class DesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDir(dir.path()).mkpath("bin"));
        ASSERT_TRUE(QDir(dir.path()).mkpath("data/applications"));
        path.emplace("PATH", (dir.filePath("bin") + ":" + qgetenv("PATH")).toLocal8Bit());
        dataHome.emplace("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit());
        dataDirs.emplace("XDG_DATA_DIRS", dir.filePath("nowhere").toLocal8Bit());
    }

    // A desktop whose default browser is the entry fake.desktop running the given Exec line.
    void DefaultBrowser(const QByteArray& exec) {
        WriteScript(dir.filePath("bin/xdg-settings"), "echo fake.desktop\n");
        QFile entry(dir.filePath("data/applications/fake.desktop"));
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Fake\nExec=" + exec + "\n");
    }

    QTemporaryDir dir;
    std::optional<TEnvOverride> path, dataHome, dataDirs;
};
} // namespace

TEST(DesktopEntry, ProgramIsFirstWordOfMainGroupExec) {
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Entry]\nExec=firefox-esr %u\n"), "firefox-esr");
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Entry]\nExec=\"/opt/My Browser/run\" --new %U\n"),
              "/opt/My Browser/run");
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Entry]\nExec=\"/opt/a\\\"b\" %u\n"), "/opt/a\"b");
    // Actions carry their own Exec lines; only the main group names the program.
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Action new]\nExec=wrong\n[Desktop Entry]\n"
                                    "TryExec=also-wrong\nExec=right %u\n"),
              "right");
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Entry]\nName=No program\n"), "");
    EXPECT_EQ(ProgramOfDesktopEntry("[Desktop Entry]\nExec=\"/unterminated %u\n"), "");
}

TEST(DesktopEntry, CommandLineExpandsFieldCodesAndKeepsWrappers) {
    const QString url = QStringLiteral("https://www.snipwave.example/a?b=c d");
    auto line = [&](const QString& exec) {
        return ExecCommandLine("[Desktop Entry]\nName=Web\nIcon=web\nExec=" + exec + "\n", url,
                               QStringLiteral("/usr/share/applications/web.desktop"));
    };
    EXPECT_EQ(line("firefox %u"), QStringList({"firefox", url}));
    // A wrapper is started whole: the browser is what it runs, not the first word alone.
    EXPECT_EQ(line("env MOZ_X=1 firefox %u"), QStringList({"env", "MOZ_X=1", "firefox", url}));
    EXPECT_EQ(line("/usr/bin/flatpak run --branch=stable --arch=x86_64 --command=firefox "
                   "--file-forwarding org.mozilla.firefox @@u %u @@"),
              QStringList({"/usr/bin/flatpak", "run", "--branch=stable", "--arch=x86_64",
                           "--command=firefox", "--file-forwarding", "org.mozilla.firefox", url}));
    // Quoting, the other codes, and an entry that has no code for the address.
    EXPECT_EQ(line("\"/opt/My Browser/run\" --title=\"100%\" %i %c %k %d 50%% %U"),
              QStringList({"/opt/My Browser/run", "--title=100%", "--icon", "web", "Web",
                           "/usr/share/applications/web.desktop", "50%", url}));
    EXPECT_EQ(line("chromium --new-window"), QStringList({"chromium", "--new-window", url}));
    EXPECT_EQ(line("\"/unterminated %u"), QStringList());
    EXPECT_EQ(ExecCommandLine("[Desktop Entry]\nName=x\n", url), QStringList());
}

TEST_F(DesktopTest, OpenURLStartsTheEntrysWholeCommandLine) {
    const QString browser = dir.filePath("bin/fake browser");
    WriteScript(browser, "printf '%s|' \"$@\" > \"" + dir.filePath("args").toLocal8Bit() + "\"\n");
    // The desktop's browser runs through a wrapper, as a flatpak or an env line does.
    DefaultBrowser("env SNIPWAVE_X=1 \"" + browser.toLocal8Bit() + "\" --new-tab @@u %u @@");
    TUrlRecorder fallback(QStringLiteral("https"));
    EXPECT_TRUE(OpenURL(QStringLiteral("https://www.snipwave.example/w")));
    EXPECT_EQ(WaitForFile(dir.filePath("args")),
              QStringLiteral("--new-tab|https://www.snipwave.example/w|"));
    EXPECT_TRUE(fallback.urls.isEmpty());
}

TEST_F(DesktopTest, OpenURLStartsDefaultBrowserWithAddress) {
    const QString browser = dir.filePath("bin/fake browser");
    WriteScript(browser, "printf '%s|' \"$@\" > \"" + dir.filePath("args").toLocal8Bit() + "\"\n");
    DefaultBrowser("\"" + browser.toLocal8Bit() + "\" %u");
    EXPECT_EQ(GetDefaultBrowser(), browser);

    TUrlRecorder fallback(QStringLiteral("https"));
    EXPECT_TRUE(OpenURL(QStringLiteral("https://www.snipwave.example/a?b=c d")));
    EXPECT_EQ(WaitForFile(dir.filePath("args")),
              QStringLiteral("https://www.snipwave.example/a?b=c d|"));
    EXPECT_TRUE(fallback.urls.isEmpty());
}

TEST_F(DesktopTest, OpenURLFallsBackWhenNoBrowserProgramIsFound) {
    TUrlRecorder fallback(QStringLiteral("https"));
    // The desktop names a browser whose program is not installed.
    DefaultBrowser("not-installed-browser %u");
    EXPECT_EQ(GetDefaultBrowser(), QString());
    EXPECT_TRUE(OpenURL(QStringLiteral("https://www.snipwave.example/")));
    // The desktop cannot tell its browser at all.
    WriteScript(dir.filePath("bin/xdg-settings"), "exit 1\n");
    EXPECT_EQ(GetDefaultBrowser(), QString());
    EXPECT_TRUE(OpenURL(QStringLiteral("https://www.snipwave.example/x")));
    ASSERT_EQ(fallback.urls.size(), 2);
    EXPECT_EQ(fallback.urls[1], QUrl(QStringLiteral("https://www.snipwave.example/x")));
}

TEST_F(DesktopTest, HomePageAndMailLinksOfWindow) {
    WriteScript(dir.filePath("bin/xdg-settings"), "exit 1\n");
    TUrlRecorder web(QStringLiteral("https"));
    TUrlRecorder mail(QStringLiteral("mailto"));
    TFakeDialogs dialogs;
    TCorvaneForm form(dir.path(), &dialogs);
    for (TStepGroupBox* g : {form.gbStep1, form.gbStep2, form.gbStep3})
        g->SetStepEnabled(false); // links work in every state, as the menu does
    form.Home1->trigger();
    form.Contactus1->trigger();
    emit form.lblHomePage->linkActivated(QStringLiteral("#"));
    emit form.lblContactUs->linkActivated(QStringLiteral("#"));
    const QUrl home(QString::fromLatin1(HomePageAddress));
    const QUrl mailto(QStringLiteral("mailto:") + SupportMailAddress);
    EXPECT_EQ(web.urls, QList<QUrl>({home, home}));
    EXPECT_EQ(mail.urls, QList<QUrl>({mailto, mailto}));
}

TEST_F(DesktopTest, ShowInExplorerOpensFolderWhenNoFileManagerAnswers) {
    WriteScript(dir.filePath("bin/xdg-open"),
                "printf '%s' \"$1\" > \"" + dir.filePath("opened").toLocal8Bit() + "\"\n");
    ASSERT_TRUE(QDir(dir.path()).mkpath("out put"));
    const QString file = dir.filePath("out put/cut.mp3");
    const QDBusConnection noBus =
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nobus");
    ASSERT_FALSE(noBus.isConnected());
    ShowInExplorer(noBus, file);
    EXPECT_EQ(WaitForFile(dir.filePath("opened")), dir.filePath("out put"));
}

TEST_F(DesktopTest, ShowInExplorerAsksFileManagerOnBusToSelectFile) {
    WriteScript(dir.filePath("bin/xdg-open"),
                "printf '%s' \"$1\" > \"" + dir.filePath("opened").toLocal8Bit() + "\"\n");
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!daemon.waitForStarted() || !daemon.waitForReadyRead(5000))
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();

    QThread service;
    service.start();
    TFakeFileManager manager;
    manager.moveToThread(&service);
    QDBusConnection serviceBus = QDBusConnection::connectToBus(address, "filemanager");
    ASSERT_TRUE(serviceBus.registerObject("/org/freedesktop/FileManager1", &manager,
                                          QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceBus.registerService("org.freedesktop.FileManager1"));

    const QString file = dir.filePath("cut #1.mp3");
    ShowInExplorer(QDBusConnection::connectToBus(address, "client"), file);
    EXPECT_EQ(manager.Shown(), QStringList({QUrl::fromLocalFile(file).toString()}));
    QTest::qWait(300);
    EXPECT_FALSE(QFile::exists(dir.filePath("opened"))) << "no folder opened besides";

    QDBusConnection::disconnectFromBus("client");
    QDBusConnection::disconnectFromBus("filemanager");
    service.quit();
    service.wait();
    manager.moveToThread(QThread::currentThread());
    daemon.kill();
    daemon.waitForFinished();
}

TEST(FolderButton, PreselectsOnlyExistingFolderAndKeepsTextOnCancel) {
    QTemporaryDir dir;
    TFakeDialogs dialogs;
    TCorvaneForm form(dir.path(), &dialogs);
    form.gbStep3->SetStepEnabled(true);

    form.tFilePath->setText(dir.path());
    form.tFilePathButton->trigger(); // cancelled
    EXPECT_EQ(form.tFilePath->text(), dir.path());

    form.tFilePath->setText(dir.filePath("missing"));
    dialogs.folderAnswer = dir.filePath("chosen");
    form.tFilePathButton->trigger();
    EXPECT_EQ(form.tFilePath->text(), dir.filePath("chosen"));

    EXPECT_EQ(dialogs.folderCaptions, QStringList({"Select Directory", "Select Directory"}));
    EXPECT_EQ(dialogs.folderStarts, QStringList({dir.path(), QString()}));
}

TEST(FolderButton, BrowseForFolderDropsNonFolderText) {
    QTemporaryDir dir;
    QFile plain(dir.filePath("file.txt"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    TFakeDialogs dialogs;
    QString folder = plain.fileName();
    EXPECT_FALSE(BrowseForFolder(dialogs, nullptr, "c", folder));
    EXPECT_EQ(folder, plain.fileName()) << "a cancelled dialog leaves the text alone";
    EXPECT_EQ(dialogs.folderStarts, QStringList({QString()}));
}
