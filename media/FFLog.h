#pragma once
// The log bridge: where every log line of the media layer ends.
//
// Two sources feed it: the FFmpeg libraries, through the callback that InstallCallback gives
// avutil, and our own components (probe, engine, player), through Log/LogFmt on ActiveLogger().
// The libraries hand over fragments on whatever thread they run; the bridge joins them into
// whole lines per thread, collapses repeats and raises OnLog.
//
// Threads: any thread may log. Shared state (each thread's unfinished line, the previous line
// and its repeat count, the active instance, every logger's queue of finished events, its
// handler and its use count) is guarded by one process-wide log lock. Events are queued under
// that lock in the order they were made and the handler always runs outside it: with
// TriggerEventInMainThread the logging thread asks the main thread (CallInMainThread) to run the
// queue and waits until it has, otherwise it runs the queue itself. Because the lock is free
// while a handler runs, the main thread can log (or be logged to by libraries) in the middle of
// a delivery without deadlocking against the waiting worker. Handlers run one at a time, in
// queue order. Logging never throws: a handler's exception is caught and reported on stderr.
//
// A thread holding the codec lock never delivers: its lines are queued and delivered when it
// lets the lock go (TCodecLockGuard), so no handler runs and nobody waits for the main thread
// under that lock.
//
// There is one active instance: the last component created, else the automatic one that
// ActiveLogger() makes on first need. The automatic instance lives as long as the process;
// ActiveLogger() hands out counted references, and a component's destructor waits until no
// thread holds one, so a logger never goes away under a thread that is using it.

#include "media/FFEventTrigger.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

// The ordinal is the level; the libraries' number of a level is ordinal * 8 - 8.
enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// quiet -8, panic 0, fatal 8, error 16, warning 24, info 32, verbose 40, debug 48.
int LogLevelToLibrary(TLogLevel level);
// Below -8 and -8..-1 quiet, 0..7 panic, ... 40..47 verbose, 48 and above debug.
TLogLevel LibraryToLogLevel(int number);
// The library number of a level name ("quiet" ... "debug", any case) or of a decimal number.
// Throws std::invalid_argument with the message "'<text>' is not a valid integer value" for
// anything else.
int LogLevelNumberByName(const QString& text);

// The kernel's id of the calling thread (what the log lines carry).
uint32_t CurrentThreadID();

// Sender is the component that wrote the message, or the logger itself for library lines.
using TLogEvent =
    std::function<void(QObject* sender, uint32_t threadId, TLogLevel level, const QString& msg)>;

struct TLogInfo {
    QObject* Sender = nullptr;
    uint32_t ThreadID = 0;
    TLogLevel Level = llInfo;
    QString Msg;
};

class TLoggerRef;

class TFFLogger : public TFFEventTrigger {
    Q_OBJECT
public:
    // Becomes the active instance, freeing an automatic one; starts at the level the libraries
    // were last given.
    explicit TFFLogger(QObject* parent = nullptr);
    ~TFFLogger() override;

    // True for the instance ActiveLogger() created because there was none.
    bool Automatic() const { return FAutomatic; }

    TLogLevel LogLevel() const { return FLogLevel.load(); }
    // Stores the level and, when it changed, passes it to the libraries (ApplyLevel).
    void SetLogLevel(TLogLevel value);
    // As SetLogLevel with LibraryToLogLevel(LogLevelNumberByName(text)); throws like it.
    void SetLogLevelByName(const QString& text);
    // Gives the libraries the number of LogLevel(), when avutil is bound.
    void ApplyLevel();
    // Replaces the libraries' own log output with the bridge and applies the level. The loader
    // calls it every time avutil has been bound.
    void InstallCallback();

    // A message of the media layer. Passes when level <= LogLevel(), and at llVerbose whenever
    // LogLevel() is not llQuiet (the engine's progress status line). Dropped without a handler.
    void Log(QObject* sender, TLogLevel level, const QString& msg);
    void Log(TLogLevel level, const QString& msg) { Log(nullptr, level, msg); }
    // As Log with msg formatted printf-style (QString::vasprintf: %s takes UTF-8).
    void LogFmt(QObject* sender, TLogLevel level, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));
    void LogFmt(TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // A finished line from the libraries; they have filtered it by level already.
    void LogLibraryLine(uint32_t threadId, int libraryLevel, const QString& line);

    TLogEvent OnLog() const;
    // When it returns, no call of the previous handler is running on another thread or will
    // start. A handler may call it on itself.
    void SetOnLog(TLogEvent handler);

private:
    friend struct TLogBridge;
    friend class TLoggerRef;
    friend TLoggerRef ActiveLogger();
    friend void DeliverHeldLogLines();
    TFFLogger(QObject* parent, bool automatic);
    // Queues an event when a handler is set; the caller holds the log lock.
    bool EnqueueLocked(QObject* sender, uint32_t threadId, TLogLevel level, const QString& msg);
    // Runs the queue in the main thread or here, as TriggerEventInMainThread says.
    void Deliver();
    // Deliver, or leave it to DeliverHeldLogLines while this thread holds the codec lock.
    void DeliverNowOrLater();
    // Runs every queued event through the handler, outside the log lock.
    void RunQueue();

    // Waits, pumping on the main thread, until the lock can be had; a barrier for handlers.
    void WaitForDeliveries();

    const bool FAutomatic;
    std::atomic<TLogLevel> FLogLevel{llInfo};
    // Guarded by the process-wide log lock (see FFLog.cpp).
    TLogEvent FOnLog;
    std::deque<TLogInfo> FQueue;
    int FUses = 0; // references handed out by ActiveLogger() and the library callback
    // Held while handlers run, so that they run one at a time and in queue order; recursive
    // because a handler may log. Its holder may be waiting for the main thread (a handler that
    // hands work there), so the main thread never blocks on it: delivery only tries it and
    // otherwise leaves its events to the holder, and SetOnLog and the destructor wait for it
    // running main-thread calls.
    std::recursive_mutex FDeliverLock;
};

// A counted reference to a logger: the logger stays alive while one exists. Use it for one
// statement (ActiveLogger()->Log(...)); holding one across a wait for the main thread keeps an
// owner's logger from being destroyed until the wait ends.
class TLoggerRef {
public:
    TLoggerRef() = default;
    TLoggerRef(const TLoggerRef& other);
    TLoggerRef& operator=(const TLoggerRef& other);
    // Moving takes no lock, so it may happen under the log lock.
    TLoggerRef(TLoggerRef&& other) noexcept : FLogger(std::exchange(other.FLogger, nullptr)) {}
    TLoggerRef& operator=(TLoggerRef&& other) noexcept;
    ~TLoggerRef();
    TFFLogger* operator->() const { return FLogger; }
    TFFLogger* get() const { return FLogger; }
    explicit operator bool() const { return FLogger != nullptr; }

private:
    friend TLoggerRef ActiveLogger();
    friend struct TLogBridge;
    // Caller holds the log lock.
    explicit TLoggerRef(TFFLogger* logger);
    TFFLogger* FLogger = nullptr;
};

// The active instance; the automatic one when no component is active.
TLoggerRef ActiveLogger();

// Delivers the lines this thread queued while it held the codec lock.
void DeliverHeldLogLines();

// Marks the calling thread, for the scope's life, as one that must never wait for the main
// thread, not even to log (an audio device's callback, a reader feeding it): the libraries'
// lines and its own are queued, and the main thread is asked, without waiting, to deliver them.
class TLogNoWaitScope {
public:
    TLogNoWaitScope();
    ~TLogNoWaitScope();
    TLogNoWaitScope(const TLogNoWaitScope&) = delete;
    TLogNoWaitScope& operator=(const TLogNoWaitScope&) = delete;

private:
    bool FOuter; // the thread's mark before this scope
};
