#pragma once
// The log bridge: where every log line of the media layer ends.
//
// Two sources feed it: the FFmpeg libraries, through the callback that InstallCallback gives
// avutil, and our own components (probe, engine, player), through Log/LogFmt on ActiveLogger().
// The libraries hand over fragments on whatever thread they run; the bridge joins them into
// whole lines per thread, collapses repeats and raises OnLog.
//
// Threads: any thread may log. Shared state (each thread's unfinished line, the previous line
// and its repeat count, the active instance, every logger's queue of finished events and its
// handler) is guarded by one process-wide log lock. Events are queued under that lock in the
// order they were made and the handler always runs outside it: with TriggerEventInMainThread
// the logging thread asks the main thread (CallInMainThread) to run the queue and waits until
// it has, otherwise it runs the queue itself. Because the lock is free while a handler runs, the
// main thread can log (or be logged to by libraries) in the middle of a delivery without
// deadlocking against the waiting worker. Handlers run one at a time, in queue order.
//
// There is one active instance: the last component created, or one made on demand by
// ActiveLogger() ("automatic"), which the next component created replaces and frees.

#include "media/FFBaseComponent.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

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

class TFFLogger : public TFFBaseComponent {
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
    void SetOnLog(TLogEvent handler);

private:
    friend struct TLogBridge;
    friend TFFLogger* ActiveLogger();
    TFFLogger(QObject* parent, bool automatic);
    // Queues an event when a handler is set; the caller holds the log lock.
    bool EnqueueLocked(QObject* sender, uint32_t threadId, TLogLevel level, const QString& msg);
    // Runs the queue in the main thread or here, as TriggerEventInMainThread says.
    void Deliver();
    // Runs every queued event through the handler, outside the log lock.
    void RunQueue();

    const bool FAutomatic;
    std::atomic<TLogLevel> FLogLevel{llInfo};
    // Guarded by the process-wide log lock (see FFLog.cpp).
    TLogEvent FOnLog;
    std::deque<TLogInfo> FQueue;
    // Held while handlers run, so that they run one at a time and in queue order; recursive
    // because a handler may log. The main thread only tries it and otherwise leaves its events
    // to the holder, which may be waiting for the main thread.
    std::recursive_mutex FDeliverLock;
};

// The active instance; creates an automatic one when there is none.
TFFLogger* ActiveLogger();
