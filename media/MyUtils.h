#pragma once
// Small shared functions of the media layer: main-thread calls, the message pump used by
// waiting loops, wide-string path handling, file sizes and size texts.
//
// Paths follow Linux rules: "/" is the only delimiter and there is no drive delimiter, so a
// name like "a:b.mp3" is one file name. All functions may be called from any thread and keep
// no state of their own (the directory search keeps its state in the caller's record).

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Runs fn in the main thread and waits for it when called from another thread while an
// application object exists; otherwise calls it directly. Waits on the main thread must pump
// (PumpMessages) so that a worker blocked here can never deadlock against them. An exception
// thrown by fn reaches the caller, on whichever thread it ran.
void CallInMainThread(const std::function<void()>& fn);

// Runs the pending events of the calling thread, including blocking calls queued by
// CallInMainThread when the caller is the main thread. The user's input is not among them: it
// waits for the caller's own event loop, so that a click or a key pressed while a component waits
// is handled after that wait, never inside it (a second Play inside the first, a new file opened
// while the window closes).
void PumpMessages();

// True on the thread that runs the application's event loop; without an application object, on
// the process's first thread.
bool IsMainThread();

// Takes lock. On the main thread the wait keeps running main-thread calls, because the holder
// may be waiting for one of them; elsewhere it is a plain lock.
template <class Lock> std::unique_lock<Lock> LockPumping(Lock& lock) {
    std::unique_lock<Lock> guard(lock, std::defer_lock);
    if (!IsMainThread()) {
        guard.lock();
        return guard;
    }
    while (!guard.try_lock()) {
        PumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return guard;
}

// Joins thread once, whichever threads call: the first joins it, the others return once it has;
// on the thread itself it returns at once. On the main thread the wait runs main-thread calls
// until ended() holds, because the thread may be handing something to the main thread.
template <class Ended> void JoinOnce(std::thread& thread, std::mutex& joinLock, Ended ended) {
    std::unique_lock<std::mutex> lock(joinLock, std::defer_lock);
    if (IsMainThread()) {
        while (!ended() || !lock.try_lock()) {
            PumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } else {
        lock.lock();
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}

// Waits on changed (with guard held) until done() holds. On the main thread it wakes every
// millisecond to run main-thread calls with the lock released, for the same reason.
template <class Lock, class Condition, class Pred>
void WaitPumping(std::unique_lock<Lock>& guard, Condition& changed, Pred done) {
    if (!IsMainThread()) {
        changed.wait(guard, done);
        return;
    }
    while (!done()) {
        guard.unlock();
        PumpMessages();
        guard.lock();
        if (done())
            return;
        changed.wait_for(guard, std::chrono::milliseconds(1));
    }
}

// A file name as the application and the media components pass it around (UTF-16).
using TPathFileName = QString;

// path + "/" unless it already ends in "/". An empty path stays empty: it stands for the
// current folder, and turning it into "/" would point the caller at the root.
QString IncludeTrailingBackslashW(const QString& path);
// The text up to and including the last "/" ("" when there is none).
QString ExtractFilePathW(const QString& fileName);
// The text after the last "/".
QString ExtractFileNameW(const QString& fileName);
// True when the name exists (links followed) and is not a directory.
bool FileExistsW(const QString& fileName);
QString GetCurrentDirW();
bool SetCurrentDirW(const QString& dir);
// The variable's value; "" when it does not exist.
QString GetEnvVarW(const QString& name);
// The absolute, cleaned path of fileName against the current folder; a trailing "/" is kept.
// "" for an empty name.
QString ExpandFileNameW(const QString& fileName);

// Size in bytes; -1 when the file does not exist, is a directory or cannot be queried.
int64_t GetFileSizeW(const QString& fileName);

// The narrow (locale charset) forms of the path functions.
std::string IncludeTrailingBackslash(const std::string& path);
std::string ExtractFilePath(const std::string& fileName);
std::string ExtractFileName(const std::string& fileName);
bool FileExists(const std::string& fileName);

// Attributes of a directory entry. Hidden means a name starting with "."; SysFile anything
// that is neither a regular file nor a directory (devices, sockets, pipes, dangling links).
enum : int {
    faReadOnly = 0x01,
    faHidden = 0x02,
    faSysFile = 0x04,
    faDirectory = 0x10,
    faArchive = 0x20, // every regular file
    faAnyFile = 0x3F,
};

struct TFindState;

// One entry of a directory search and the search's own state.
struct TSearchRecW {
    int64_t Size = 0; // bytes
    QDateTime Time;   // last modification, local time
    int Attr = 0;     // fa* flags
    QString Name;     // the entry's name without its folder
    int ExcludeAttr = 0;
    std::shared_ptr<TFindState> FindHandle;
};

// Searches the folder part of path for names matching its last part, where "*" and "?" are the
// only wildcards ("*.*" matches every name). Entries that are hidden, system files or folders
// are returned only when attr asks for them; "." and ".." never are. Both return 0 when rec
// holds an entry and an errno value (ENOENT at the end) otherwise.
int FindFirstW(const QString& path, int attr, TSearchRecW& rec);
int FindNextW(TSearchRecW& rec);
void FindCloseW(TSearchRecW& rec);

// Human-readable size with two decimals in GB, MB or KB above each threshold (strictly
// greater than 2^30, 2^20, 1024 bytes), plain "%d Byte" otherwise; the decimal separator is
// the locale's.
QString SizeText(int64_t bytes, const QLocale& locale = QLocale());
