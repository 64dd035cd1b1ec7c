#include "media/MyUtils.h"

#include "media/FileNameBytes.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

bool IsMainThread() {
    if (auto* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    // Without an application object (before it exists, after it is gone, in a program that
    // never makes one) the main thread is the process's first thread, whose id is the
    // process id; a worker must never take itself for it.
    return ::gettid() == ::getpid();
}

namespace {

// Calls handed from other threads to the main thread. They travel through our own lock and
// condition rather than through a Qt functor: Qt's own waits are invisible to ThreadSanitizer,
// which then reports the functor's hand-over as a race. The main thread is only woken by a
// payload-free event.
struct TMainCall {
    const std::function<void()>* Fn;
    bool Done = false;          // guarded by CallsLock
    std::exception_ptr Failure; // what Fn threw; written before Done, read after it
};

std::mutex CallsLock; // guards PendingCalls, LiveWakeups and the Done flag of every TMainCall
std::condition_variable CallsDone;
std::deque<TMainCall*> PendingCalls;
// Wake-up events posted and not yet destroyed. Each one runs every pending call, so the calls
// are abandoned only when the last of them goes away undelivered.
int LiveWakeups = 0;

void RunPendingCalls() {
    for (;;) {
        TMainCall* call;
        {
            std::lock_guard<std::mutex> lock(CallsLock);
            if (PendingCalls.empty())
                return;
            call = PendingCalls.front();
            PendingCalls.pop_front();
        }
        struct TMarkDone {
            TMainCall* Call;
            ~TMarkDone() {
                std::lock_guard<std::mutex> lock(CallsLock);
                Call->Done = true;
                CallsDone.notify_all();
            }
        } markDone{call};
        // An exception must not unwind through Qt's event dispatch, which cannot carry it;
        // it belongs to the thread that asked for the call.
        try {
            (*call->Fn)();
        } catch (...) {
            call->Failure = std::current_exception();
        }
    }
}

// Marks every waiting call done without running it. Caller holds CallsLock.
void AbandonPendingCallsLocked() {
    for (TMainCall* call : PendingCalls)
        call->Done = true;
    PendingCalls.clear();
    CallsDone.notify_all();
}

const QEvent::Type RunCallsEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Wakes the main thread for PendingCalls. When the last live one is thrown away undelivered
// (the application object going away with it still queued), the waiting callers are released
// without running their calls, as Qt's own blocking calls do, so that no worker waits for
// ever. While another wake-up is still queued, the calls are left to it.
class TRunCallsEvent : public QEvent {
public:
    // Caller holds CallsLock.
    TRunCallsEvent() : QEvent(RunCallsEventType) { ++LiveWakeups; }
    ~TRunCallsEvent() override {
        std::lock_guard<std::mutex> lock(CallsLock);
        if (--LiveWakeups == 0 && !Delivered)
            AbandonPendingCallsLocked();
    }
    bool Delivered = false; // written under CallsLock by the poster, then by the main thread
};

class TMainCallRunner : public QObject {
public:
    bool event(QEvent* e) override {
        // The poster builds the event while holding CallsLock; taking the lock once here
        // orders our read of it after that in ThreadSanitizer's eyes.
        { std::lock_guard<std::mutex> lock(CallsLock); }
        if (e->type() != RunCallsEventType)
            return QObject::event(e);
        static_cast<TRunCallsEvent*>(e)->Delivered = true;
        RunPendingCalls();
        return true;
    }
};

// Lives in the main thread for the rest of the process; made on first use from any thread.
QObject* MainCallRunner(QCoreApplication* app) {
    static QObject* const runner = [app] {
        auto* r = new TMainCallRunner;
        r->moveToThread(app->thread());
        return r;
    }();
    return runner;
}

} // namespace

void CallInMainThread(const std::function<void()>& fn) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr || IsMainThread()) {
        fn();
        return;
    }
    QObject* runner = MainCallRunner(app);
    TMainCall call{&fn};
    std::unique_lock<std::mutex> lock(CallsLock);
    PendingCalls.push_back(&call);
    // Posting takes only Qt's own queue lock and never calls back into us, so doing it under
    // CallsLock cannot deadlock.
    QCoreApplication::postEvent(runner, new TRunCallsEvent);
    CallsDone.wait(lock, [&] { return call.Done; });
    lock.unlock();
    if (call.Failure)
        std::rethrow_exception(call.Failure);
}

void PumpMessages() {
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// ---- paths -------------------------------------------------------------------------------

QString IncludeTrailingBackslashW(const QString& path) {
    if (path.isEmpty() || path.endsWith(u'/'))
        return path;
    return path + u'/';
}

QString ExtractFilePathW(const QString& fileName) {
    return fileName.left(fileName.lastIndexOf(u'/') + 1);
}

QString ExtractFileNameW(const QString& fileName) {
    return fileName.mid(fileName.lastIndexOf(u'/') + 1);
}

namespace {

// stat() of a name, links followed; false when it cannot be read.
bool StatW(const QString& fileName, struct stat& st) {
    if (fileName.isEmpty())
        return false;
    return ::stat(EncodeFileName(fileName).constData(), &st) == 0;
}

} // namespace

bool FileExistsW(const QString& fileName) {
    struct stat st;
    return StatW(fileName, st) && !S_ISDIR(st.st_mode);
}

QString GetCurrentDirW() {
    // Qt's own answer loses the bytes of a folder name that is not UTF-8.
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
            return DecodeFileName(buffer.data());
        if (errno != ERANGE || buffer.size() >= (size_t(1) << 20))
            return QDir::currentPath();
        buffer.resize(buffer.size() * 2);
    }
}

bool SetCurrentDirW(const QString& dir) {
    return !dir.isEmpty() && ::chdir(EncodeFileName(dir).constData()) == 0;
}

QString GetEnvVarW(const QString& name) {
    if (name.isEmpty() || name.contains(u'='))
        return QString();
    return qEnvironmentVariable(name.toLocal8Bit().constData());
}

QString ExpandFileNameW(const QString& fileName) {
    if (fileName.isEmpty())
        return QString();
    const QString absolute = fileName.startsWith(u'/')
                                 ? fileName
                                 : IncludeTrailingBackslashW(GetCurrentDirW()) + fileName;
    QString full = QDir::cleanPath(absolute);
    if (fileName.endsWith(u'/') && !full.endsWith(u'/'))
        full += u'/';
    return full;
}

int64_t GetFileSizeW(const QString& fileName) {
    // A plain stat rather than a directory search: on Linux a name may itself hold "*" or "?",
    // which a search would take for wildcards.
    struct stat st;
    if (!StatW(fileName, st) || S_ISDIR(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

std::string IncludeTrailingBackslash(const std::string& path) {
    return IncludeTrailingBackslashW(QString::fromLocal8Bit(path)).toLocal8Bit().toStdString();
}

std::string ExtractFilePath(const std::string& fileName) {
    return ExtractFilePathW(QString::fromLocal8Bit(fileName)).toLocal8Bit().toStdString();
}

std::string ExtractFileName(const std::string& fileName) {
    return ExtractFileNameW(QString::fromLocal8Bit(fileName)).toLocal8Bit().toStdString();
}

bool FileExists(const std::string& fileName) {
    return FileExistsW(QString::fromLocal8Bit(fileName));
}

// ---- directory search --------------------------------------------------------------------

struct TFindState {
    QString Folder;             // with its trailing "/"
    std::vector<QString> Names; // matching names, in the order the folder lists them
    size_t Next = 0;            // index of the next name to look at
};

namespace {

// "*" matches any run of characters, "?" exactly one; everything else literally.
bool WildcardMatch(const QString& pattern, const QString& name) {
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

int AttributesOf(const QString& name, const struct stat* st) {
    int attr = 0;
    if (name.startsWith(u'.'))
        attr |= faHidden;
    if (st == nullptr)
        return attr | faSysFile;
    if (S_ISDIR(st->st_mode))
        attr |= faDirectory;
    else if (S_ISREG(st->st_mode))
        attr |= faArchive;
    else
        attr |= faSysFile;
    if ((st->st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        attr |= faReadOnly;
    return attr;
}

// Fills rec with the next entry that the requested attributes do not exclude.
int FindMatching(TSearchRecW& rec) {
    TFindState& s = *rec.FindHandle;
    while (s.Next < s.Names.size()) {
        const QString& name = s.Names[s.Next++];
        struct stat st;
        const bool ok = StatW(s.Folder + name, st);
        const int attr = AttributesOf(name, ok ? &st : nullptr);
        if ((attr & rec.ExcludeAttr) != 0)
            continue;
        rec.Name = name;
        rec.Attr = attr;
        rec.Size = ok && !S_ISDIR(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
        rec.Time = ok ? QDateTime::fromSecsSinceEpoch(st.st_mtime) : QDateTime();
        return 0;
    }
    return ENOENT;
}

} // namespace

int FindFirstW(const QString& path, int attr, TSearchRecW& rec) {
    rec = TSearchRecW();
    rec.ExcludeAttr = ~attr & (faHidden | faSysFile | faDirectory);
    auto state = std::make_shared<TFindState>();
    state->Folder = ExtractFilePathW(path);
    QString pattern = ExtractFileNameW(path);
    if (pattern == QStringLiteral("*.*"))
        pattern = QStringLiteral("*");
    if (pattern.isEmpty())
        return ENOENT;

    const QDir dir(state->Folder.isEmpty() ? QStringLiteral(".") : state->Folder);
    if (!dir.exists())
        return ENOENT;
    const QStringList all = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : all) {
        if (WildcardMatch(pattern, name))
            state->Names.push_back(name);
    }
    rec.FindHandle = std::move(state);
    const int result = FindMatching(rec);
    if (result != 0)
        FindCloseW(rec);
    return result;
}

int FindNextW(TSearchRecW& rec) {
    if (!rec.FindHandle)
        return EBADF;
    return FindMatching(rec);
}

void FindCloseW(TSearchRecW& rec) {
    rec.FindHandle.reset();
}

// ---- size text ---------------------------------------------------------------------------

QString SizeText(int64_t bytes, const QLocale& locale) {
    // Two decimals and the locale's decimal point, but no digit grouping: "1024.00 KB".
    QLocale loc = locale;
    loc.setNumberOptions(loc.numberOptions() | QLocale::OmitGroupSeparator);
    auto scaled = [&](double unit, const char* suffix) {
        return loc.toString(static_cast<double>(bytes) / unit, 'f', 2) + QLatin1String(suffix);
    };
    if (bytes > 1073741824)
        return scaled(1073741824.0, " GB");
    if (bytes > 1048576)
        return scaled(1048576.0, " MB");
    if (bytes > 1024)
        return scaled(1024.0, " KB");
    return QString::number(bytes) + QStringLiteral(" Byte");
}
