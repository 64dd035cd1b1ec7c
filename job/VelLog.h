#pragma once
// The application's own plain-text log: what the user opened and cut, and what failed. Each
// start of the window begins Log/log1.txt beside the program and keeps the nine previous runs as
// log2.txt … log10.txt. The command line keeps its log in the state folder instead (see
// StartCommandLineLog), and begins it only when a run has something to log.
// Lines are "YYYY-MM-DD HH:MM:SS", a gap of ten spaces (LogInfo) or two (LogError), the message,
// then CR LF, in the locale's charset.
//
// Threads: main thread only. The writer has no lock; worker threads (the cut's audio hook, the
// player's threads) never log here. The media layer's log bridge is a separate thing.
//
// The file is opened and closed for every line, so the log is complete on disk after each call
// and other programs may read it while the window runs.

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <memory>

class TVelLog {
public:
    // Creates the file empty when it does not exist and checks that it can be appended to; an
    // existing file is left as it is. Throws std::system_error when the file cannot be created
    // or opened for appending. An empty name gives a log that discards its lines, the last
    // resort when no folder at all can hold the log.
    explicit TVelLog(const QString& fileName);
    // A log that creates nothing until its first line; then it starts in folder as OpenRunLog
    // does with a fallback folder (the folder and its parents made, the files there rotated,
    // log1.txt created). When that fails, one warning goes to stderr and its lines are
    // discarded.
    static std::unique_ptr<TVelLog> StartedOnFirstLine(const QString& folder);

    // Append one line each. They return false (and warn on stderr) when the line could not be
    // written: a full or vanished disk must not abort the handler that was logging.
    bool LogInfo(const QString& message);
    bool LogError(const QString& message);

    // "" while a log started on its first line has written none.
    const QString& FileName() const { return FFileName; }

private:
    bool WriteLine(const char* gap, const QString& message);

    QString FFileName;      // full name of the log file, fixed once it is created
    QString FPendingFolder; // the folder a log started on its first line begins in
};

// "YYYY-MM-DD HH:MM:SS" with the locale's time separator in place of the colons.
QString LogTimestamp(const QDateTime& when, const QLocale& locale);

// The text a locale puts between hours and minutes (":" when its format shows none).
QString TimeSeparator(const QLocale& locale);

// Where the log goes when the program's folder cannot hold it (an installed program in
// /usr/bin): $XDG_STATE_HOME/snipwave/Log, or ~/.local/state/snipwave/Log when the variable is
// unset or not an absolute path.
QString FallbackLogFolder();

// Makes room for a new run in folder: log10.txt is deleted and every other logN.txt becomes
// logN+1.txt, highest first. Failures leave the file where it is and are otherwise ignored.
void RotateLogFiles(const QString& folder);

// A folder of the system's own programs (/usr/bin, /usr/local/bin …): no log is kept there.
bool IsSystemProgramFolder(const QString& programDir);

// One program start: creates <programDir>/Log (one level), rotates its files and creates
// log1.txt there. When that fails, or programDir is a system program folder, does the same in
// fallbackFolder (creating its parents); when that fails too, returns a log that discards its
// lines, so the window still starts.
std::unique_ptr<TVelLog> OpenRunLog(const QString& programDir, const QString& fallbackFolder);

// The program-wide log. StartAppLog runs the start-up above once the application object exists
// (empty arguments mean the program's folder and FallbackLogFolder()) and replaces any earlier
// instance; AppLog starts it on first use when nobody did; StopAppLog frees it at the end.
TVelLog& StartAppLog(const QString& programDir = QString(),
                     const QString& fallbackFolder = QString());
// The command line's program-wide log: in folder (empty: FallbackLogFolder()), never beside the
// program, begun on its first line (TVelLog::StartedOnFirstLine), so that a run that logs
// nothing (--help, a wrong option) creates nothing. Replaces any earlier instance.
TVelLog& StartCommandLineLog(const QString& folder = QString());
TVelLog& AppLog();
void StopAppLog();
