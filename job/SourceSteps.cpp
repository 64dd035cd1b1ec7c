#include "job/SourceSteps.h"

#include "job/TimeTexts.h"
#include "job/VelLog.h"
#include "media/MyUtils.h"
#include "media/decode/TCustomDecoder.h"

#include <QFileInfo>

#include <algorithm>

bool OpenSource(TCustomDecoder& probe, const QString& fileName, const QString& libraryFolder,
                TSourceInfo& info, QString& message) {
    TVelLog& log = AppLog();
    if (!probe.LibrariesLoaded() && !probe.LoadLibraries(libraryFolder)) {
        message = probe.LastErrorText();
        log.LogError(QStringLiteral("Failed to load audio library, error message: ") + message);
        return false;
    }
    if (!probe.OpenMediaFile(fileName) || !ReadSourceInfo(probe, fileName, info)) {
        message = QStringLiteral("Failed to load file, error message: ") + probe.LastErrorText();
        log.LogError(message);
        return false;
    }
    for (const QString& line : InformationLogLines(InformationLines(info)))
        log.LogInfo(line);
    return true;
}

int64_t TrackbarSeconds(int64_t durationUs) {
    return std::max<int64_t>(0, MicrosecondsToSeconds(durationUs));
}

QString EmptyRangeMessage(int64_t start, int64_t end, int64_t seconds) {
    if (start < end)
        return QString();
    if (seconds == 0)
        return QStringLiteral("Nothing to cut: the file is shorter than one second.");
    return QStringLiteral("Nothing to cut: the range %1 - %2 is empty within the file's %3.")
        .arg(FormatSeconds(start), FormatSeconds(end), FormatSeconds(seconds));
}

QString DroppedSourceFile(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString name = url.toLocalFile();
        if (name.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive) && !QFileInfo(name).isDir())
            return name;
    }
    return QString();
}

QString CommandLineSourceFile(const QString& argument) {
    if (argument.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(argument);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return ExpandFileNameW(argument);
}
