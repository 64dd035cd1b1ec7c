#pragma once
// The folders the user last opened a source from and last cut into, kept between starts in the
// user's configuration folder ($XDG_CONFIG_HOME/quillon/snipwave.conf, default ~/.config/…).
//
// Threads: main thread only.

#include <QString>

#include <memory>

class QSettings;

class TRecentFolders {
public:
    // fileName: the settings file; empty means the user's configuration file above.
    explicit TRecentFolders(const QString& fileName = QString());
    ~TRecentFolders();

    // The remembered folder when it still exists, else empty.
    QString OpenFolder() const;
    QString OutputFolder() const;
    // Remember a folder; an empty one is ignored. Written to disk at once.
    void SetOpenFolder(const QString& folder);
    void SetOutputFolder(const QString& folder);

    static QString DefaultFileName();

private:
    QString Existing(const char* key) const;
    void Store(const char* key, const QString& folder);

    std::unique_ptr<QSettings> FSettings;
};
