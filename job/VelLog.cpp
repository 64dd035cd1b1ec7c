#include "job/VelLog.h"

#include "media/FileNameBytes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <utility>
#include <unistd.h>

namespace {

constexpr int LogFileCount = 10;

std::unique_ptr<TVelLog> TheAppLog;

QString LogFileName(const QString& folder, int n) {
    return folder + QStringLiteral("/log") + QString::number(n) + QStringLiteral(".txt");
}

// Lines end in CR LF whatever the message carries: a bare LF inside a message becomes CR LF so
// every physical line of the file has the same ending, and an existing CR LF is kept as it is.
QByteArray WithCrLf(const QString& text) {
    QByteArray in = EncodeFileName(text); // a name that is not UTF-8 keeps its bytes
    QByteArray out;
    out.reserve(in.size() + 8);
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r'))
            out.append('\r');
        out.append(in[i]);
    }
    return out;
}

bool WriteAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

int OpenForAppend(const QString& fileName) {
    int fd;
    do {
        fd = ::open(QFile::encodeName(fileName).constData(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Prepares folder and creates log1.txt in it; nullptr when the file cannot be created.
std::unique_ptr<TVelLog> TryStartIn(const QString& folder, bool makeParents) {
    if (makeParents)
        QDir().mkpath(folder);
    else
        QDir().mkdir(folder);
    RotateLogFiles(folder);
    try {
        return std::make_unique<TVelLog>(LogFileName(folder, 1));
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "snipwave: cannot create the log in %s: %s\n",
                     qPrintable(QDir::toNativeSeparators(folder)), e.what());
        return nullptr;
    }
}

} // namespace

TVelLog::TVelLog(const QString& fileName) : FFileName(fileName) {
    if (FFileName.isEmpty())
        return;
    int fd = OpenForAppend(FFileName);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(),
                                QFile::encodeName(FFileName).toStdString());
    ::close(fd);
}

bool TVelLog::LogInfo(const QString& message) {
    return WriteLine("          ", message);
}

bool TVelLog::LogError(const QString& message) {
    return WriteLine("  ", message);
}

std::unique_ptr<TVelLog> TVelLog::StartedOnFirstLine(const QString& folder) {
    auto log = std::make_unique<TVelLog>(QString());
    log->FPendingFolder = folder;
    return log;
}

bool TVelLog::WriteLine(const char* gap, const QString& message) {
    if (FFileName.isEmpty() && !FPendingFolder.isEmpty()) {
        const QString folder = std::exchange(FPendingFolder, QString()); // one try only
        if (const auto started = TryStartIn(folder, true))
            FFileName = started->FileName();
    }
    if (FFileName.isEmpty())
        return false;
    QByteArray line = LogTimestamp(QDateTime::currentDateTime(), QLocale()).toLocal8Bit();
    line += gap;
    line += WithCrLf(message);
    line += "\r\n";

    int fd = OpenForAppend(FFileName);
    bool ok = fd >= 0 && WriteAll(fd, line);
    int err = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        std::fprintf(stderr, "snipwave: cannot write the log %s: %s\n", qPrintable(FFileName),
                     std::strerror(err));
    return ok;
}

QString TimeSeparator(const QLocale& locale) {
    // Take what stands between the hour field and the next field of the locale's short time
    // format, with Qt's quoting removed ("H.mm" gives ".", "HH 'h' mm" gives " h ").
    const QString fmt = locale.timeFormat(QLocale::ShortFormat);
    qsizetype i = 0;
    bool quoted = false;
    while (i < fmt.size() && (quoted || (fmt[i] != u'h' && fmt[i] != u'H'))) {
        if (fmt[i] == u'\'')
            quoted = !quoted;
        ++i;
    }
    while (i < fmt.size() && (fmt[i] == u'h' || fmt[i] == u'H'))
        ++i;
    QString sep;
    quoted = false;
    for (; i < fmt.size(); ++i) {
        QChar c = fmt[i];
        if (c == u'\'') {
            if (i + 1 < fmt.size() && fmt[i + 1] == u'\'') {
                sep += c;
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        if (!quoted && c.isLetter())
            break;
        sep += c;
    }
    return sep.isEmpty() ? QStringLiteral(":") : sep;
}

QString LogTimestamp(const QDateTime& when, const QLocale& locale) {
    const QDate d = when.date();
    const QTime t = when.time();
    const QString sep = TimeSeparator(locale);
    auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("%1-%2-%3 ")
               .arg(d.year(), 4, 10, QLatin1Char('0'))
               .arg(two(d.month()), two(d.day())) +
           two(t.hour()) + sep + two(t.minute()) + sep + two(t.second());
}

QString FallbackLogFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/snipwave/Log");
}

void RotateLogFiles(const QString& folder) {
    for (int n = LogFileCount; n >= 1; --n) {
        const QString name = LogFileName(folder, n);
        if (!QFileInfo::exists(name))
            continue;
        if (n == LogFileCount)
            QFile::remove(name);
        else
            QFile::rename(name, LogFileName(folder, n + 1));
    }
}

bool IsSystemProgramFolder(const QString& programDir) {
    const QString dir = QDir::cleanPath(programDir);
    return dir == QLatin1String("/usr") || dir.startsWith(QLatin1String("/usr/"));
}

std::unique_ptr<TVelLog> OpenRunLog(const QString& programDir, const QString& fallbackFolder) {
    // An unknown program folder must not turn into "/Log"; an installed program's folder belongs
    // to the package manager, even where root could write into it.
    if (!programDir.isEmpty() && !IsSystemProgramFolder(programDir)) {
        if (auto log = TryStartIn(programDir + QStringLiteral("/Log"), false))
            return log;
    }
    if (!fallbackFolder.isEmpty()) {
        if (auto log = TryStartIn(fallbackFolder, true))
            return log;
    }
    return std::make_unique<TVelLog>(QString());
}

TVelLog& StartAppLog(const QString& programDir, const QString& fallbackFolder) {
    TheAppLog =
        OpenRunLog(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir,
                   fallbackFolder.isEmpty() ? FallbackLogFolder() : fallbackFolder);
    return *TheAppLog;
}

TVelLog& StartCommandLineLog(const QString& folder) {
    TheAppLog = TVelLog::StartedOnFirstLine(folder.isEmpty() ? FallbackLogFolder() : folder);
    return *TheAppLog;
}

TVelLog& AppLog() {
    if (!TheAppLog)
        StartAppLog();
    return *TheAppLog;
}

void StopAppLog() {
    TheAppLog.reset();
}
