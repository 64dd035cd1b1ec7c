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

#include <cstring>
#include <optional>
#include <utility>

namespace {
// A file manager that is activated on demand may need a moment to start; past this the
// folder is opened the plain way instead.
constexpr int ShowItemsTimeoutMs = 5000;
// xdg-settings is a shell script that may consult several desktop tools.
constexpr int BrowserQueryTimeoutMs = 3000;

// The value of key in the [Desktop Entry] group; empty when it is not there.
QString MainGroupValue(const QString& entryText, QLatin1String key) {
    bool inMainGroup = false;
    const QStringList lines = entryText.split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inMainGroup && eq > 0 && line.left(eq).trimmed() == key)
            return line.mid(eq + 1).trimmed();
    }
    return {};
}

// The string escapes every value of a desktop entry may hold; a backslash before anything else
// is left for the Exec line's own quoting.
QString UnescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\') && i + 1 < value.size()) {
            const char e = value.at(i + 1).toLatin1();
            const char* const from = "sntr\\";
            const char* const to = " \n\t\r\\";
            if (const char* hit = e ? std::strchr(from, e) : nullptr) {
                out += QLatin1Char(to[hit - from]);
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

struct TExecWord {
    QString Text;
    bool Quoted = false;
};

// The words of an Exec value: split at blanks, with double-quoted words whose backslash
// escapes are undone. Nothing when a quote is left open.
std::optional<QList<TExecWord>> SplitExec(const QString& exec) {
    QList<TExecWord> words;
    TExecWord word;
    bool inWord = false, inQuotes = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                word.Text += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else {
                word.Text += c;
            }
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inWord)
                words << word;
            word = TExecWord();
            inWord = false;
        } else if (c == QLatin1Char('"')) {
            inQuotes = word.Quoted = inWord = true;
        } else {
            word.Text += c;
            inWord = true;
        }
    }
    if (inQuotes)
        return std::nullopt;
    if (inWord)
        words << word;
    return words;
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

QStringList ExecCommandLine(const QString& entryText, const QString& address,
                            const QString& entryPath) {
    const std::optional<QList<TExecWord>> words =
        SplitExec(UnescapeValue(MainGroupValue(entryText, QLatin1String("Exec"))));
    if (!words || words->isEmpty())
        return {};
    QStringList args;
    bool addressGiven = false;
    for (const TExecWord& word : *words) {
        if (word.Quoted) {
            args << word.Text; // field codes are not expanded inside quotes
            continue;
        }
        // Flatpak's markers around the arguments it forwards.
        if (word.Text.startsWith(QLatin1String("@@")))
            continue;
        static const QStringList takesAddress = {"%u", "%U", "%f", "%F"};
        if (takesAddress.contains(word.Text)) {
            if (!addressGiven)
                args << address;
            addressGiven = true;
            continue;
        }
        if (word.Text == QLatin1String("%i")) {
            const QString icon = MainGroupValue(entryText, QLatin1String("Icon"));
            if (!icon.isEmpty())
                args << QStringLiteral("--icon") << icon;
            continue;
        }
        QString arg;
        for (qsizetype i = 0; i < word.Text.size(); ++i) {
            const QChar c = word.Text.at(i);
            if (c != QLatin1Char('%') || i + 1 == word.Text.size()) {
                arg += c;
                continue;
            }
            const QChar code = word.Text.at(++i);
            if (code == QLatin1Char('%'))
                arg += QLatin1Char('%');
            else if (code == QLatin1Char('c'))
                arg += MainGroupValue(entryText, QLatin1String("Name"));
            else if (code == QLatin1Char('k'))
                arg += entryPath;
            // every other code (the deprecated ones among them) stands for nothing
        }
        if (!arg.isEmpty() || word.Text.isEmpty())
            args << arg;
    }
    if (args.isEmpty())
        return {};
    // An entry without a field code for it still gets the address to open.
    if (!addressGiven)
        args << address;
    return args;
}

QString ProgramOfDesktopEntry(const QString& entryText) {
    return ExecCommandLine(entryText, QString()).value(0);
}

namespace {
// The default browser's desktop entry: its text and path; empty when the desktop cannot tell.
std::pair<QString, QString> DefaultBrowserEntry() {
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
    return {QString::fromUtf8(entry.readAll()), entryPath};
}

// The full path of program, as the system search finds it; empty when it is not there.
QString ResolveProgram(const QString& program) {
    if (program.isEmpty())
        return {};
    if (QDir::isAbsolutePath(program))
        return program;
    return QStandardPaths::findExecutable(program);
}
} // namespace

QString GetDefaultBrowser() {
    return ResolveProgram(ProgramOfDesktopEntry(DefaultBrowserEntry().first));
}

bool OpenURL(const QString& address) {
    const auto [entryText, entryPath] = DefaultBrowserEntry();
    QStringList args = ExecCommandLine(entryText, address, entryPath);
    const QFileInfo program(ResolveProgram(args.value(0)));
    // The whole command line of the entry, so that wrappers (env, flatpak) start the browser.
    if (!args.isEmpty() && program.isFile() && program.isExecutable()) {
        args.removeFirst();
        if (QProcess::startDetached(program.filePath(), args))
            return true;
    }
    return QDesktopServices::openUrl(QUrl(address));
}

bool OpenMailTo(const QString& address) {
    return QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + address));
}
