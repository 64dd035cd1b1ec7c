#include "app/TRecentFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
constexpr char OpenKey[] = "folders/open";
constexpr char OutputKey[] = "folders/output";
} // namespace

TRecentFolders::TRecentFolders(const QString& fileName)
    : FSettings(std::make_unique<QSettings>(fileName.isEmpty() ? DefaultFileName() : fileName,
                                            QSettings::IniFormat)) {}

TRecentFolders::~TRecentFolders() = default;

QString TRecentFolders::DefaultFileName() {
    // Looked up afresh each time: the configuration folder follows XDG_CONFIG_HOME.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quillon/snipwave.conf");
}

QString TRecentFolders::OpenFolder() const {
    return Existing(OpenKey);
}

QString TRecentFolders::OutputFolder() const {
    return Existing(OutputKey);
}

void TRecentFolders::SetOpenFolder(const QString& folder) {
    Store(OpenKey, folder);
}

void TRecentFolders::SetOutputFolder(const QString& folder) {
    Store(OutputKey, folder);
}

QString TRecentFolders::Existing(const char* key) const {
    const QString folder = FSettings->value(QLatin1String(key)).toString();
    // A folder removed since would start a dialog nowhere.
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void TRecentFolders::Store(const char* key, const QString& folder) {
    if (folder.isEmpty())
        return;
    FSettings->setValue(QLatin1String(key), QDir::cleanPath(folder));
    FSettings->sync();
}
