#include "app/SysInfoUtils.h"

#include "app/Dialogs.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
// A file manager that is activated on demand may need a moment to start; past this the
// folder is opened the plain way instead.
constexpr int ShowItemsTimeoutMs = 5000;
// xdg-settings is a shell script that may consult several desktop tools.
constexpr int BrowserQueryTimeoutMs = 3000;

// Splits the first word off a desktop-entry Exec value, honouring its double-quote rules.
QString FirstExecWord(const QString& exec) {
    const QString value = exec.trimmed();
    if (!value.startsWith(QLatin1Char('"')))
        return value.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    QString word;
    for (qsizetype i = 1; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\') && i + 1 < value.size()) {
            word += value.at(++i);
        } else if (c == QLatin1Char('"')) {
            return word;
        } else {
            word += c;
        }
    }
    return {}; // unterminated quote: the entry is malformed
}
} // namespace

bool BrowseForFolder(TDialogs& dialogs, QWidget* owner, const QString& caption, QString& folder) {
    const QString start = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
    const std::optional<QString> chosen = dialogs.ChooseFolder(owner, caption, start);
    if (!chosen)
        return false;
    folder = *chosen;
    return true;
}

void ShowInExplorer(const QString& fileName) {
    ShowInExplorer(QDBusConnection::sessionBus(), fileName);
}

void ShowInExplorer(const QDBusConnection& bus, const QString& fileName) {
    const QFileInfo info(fileName);
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"),
            QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(info.absoluteFilePath()).toString()} << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, ShowItemsTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return;
    }
    QProcess::startDetached(QStringLiteral("xdg-open"), {info.absolutePath()});
}

QString ProgramOfDesktopEntry(const QString& entryText) {
    bool inMainGroup = false;
    const QStringList lines = entryText.split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && line.left(eq).trimmed() == QLatin1String("Exec"))
            return FirstExecWord(line.mid(eq + 1));
    }
    return {};
}

QString GetDefaultBrowser() {
    QProcess query;
    query.start(QStringLiteral("xdg-settings"),
                {QStringLiteral("get"), QStringLiteral("default-web-browser")});
    if (!query.waitForFinished(BrowserQueryTimeoutMs)) {
        query.kill();
        query.waitForFinished();
        return {};
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return {};
    const QString entryName = QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
    if (entryName.isEmpty() || entryName.contains(QLatin1Char('/')))
        return {};
    const QString entryPath =
        QStandardPaths::locate(QStandardPaths::ApplicationsLocation, entryName);
    QFile entry(entryPath);
    if (entryPath.isEmpty() || !entry.open(QIODevice::ReadOnly))
        return {};
    const QString program = ProgramOfDesktopEntry(QString::fromUtf8(entry.readAll()));
    if (program.isEmpty())
        return {};
    if (QDir::isAbsolutePath(program))
        return program;
    return QStandardPaths::findExecutable(program);
}

bool OpenURL(const QString& address) {
    const QString browser = GetDefaultBrowser();
    const QFileInfo program(browser);
    if (!browser.isEmpty() && program.isFile() && program.isExecutable())
        return QProcess::startDetached(browser, {address});
    return QDesktopServices::openUrl(QUrl(address));
}

bool OpenMailTo(const QString& address) {
    return QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + address));
}
