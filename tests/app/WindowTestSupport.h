#pragma once
// Shared pieces of the window tests: a dialog seam that answers from a script and records what
// was asked, a recorder for URLs handed to the desktop, and environment overrides.

#include "app/Dialogs.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <mutex>
#include <optional>
#include <ostream>

// Readable failure messages for the Qt values the window tests compare.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QUrl& u, std::ostream* os) {
    *os << u.toString().toStdString();
}

class TFakeDialogs : public TDialogs {
public:
    void ShowMessage(QWidget*, const QString& text) override { messages << text; }
    bool AskOkCancel(QWidget*, const QString& text) override {
        questions << text;
        return answers.isEmpty() ? answerOk : answers.takeFirst();
    }
    QString OpenFileName(QWidget*, const QString& filter, const QString& folder) override {
        openFilters << filter;
        openFolders << folder;
        return openAnswer;
    }
    std::optional<QString> ChooseFolder(QWidget*, const QString& caption,
                                        const QString& start) override {
        folderCaptions << caption;
        folderStarts << start;
        return folderAnswer;
    }

    QStringList messages;
    QStringList questions;
    bool answerOk = true; // the answer once `answers` has run out
    QList<bool> answers;  // answers to the next questions, in order
    QStringList openFilters;
    QStringList openFolders;
    QString openAnswer;
    QStringList folderCaptions;
    QStringList folderStarts;
    std::optional<QString> folderAnswer;
};

// Catches what would go to the desktop's URL handler for one scheme while it lives.
class TUrlRecorder : public QObject {
    Q_OBJECT
public:
    explicit TUrlRecorder(const QString& scheme);
    ~TUrlRecorder() override;
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }

private:
    QString m_scheme;
};

// Sets an environment variable for one test and puts the old value back.
class TEnvOverride {
public:
    TEnvOverride(const char* name, const QByteArray& value);
    ~TEnvOverride();

private:
    const char* m_name;
    std::optional<QByteArray> m_old;
};

// A stand-in file manager on a private session bus: answers FileManager1.ShowItems from a
// thread of its own (the caller blocks on the bus) and records the URIs it was asked to show.
class TFakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList Shown() const;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId);

private:
    mutable std::mutex m_lock; // guards m_shown: written on the service thread, read by tests
    QStringList m_shown;
};
