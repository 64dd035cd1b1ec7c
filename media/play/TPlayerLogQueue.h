#pragma once
// Log lines of the threads that must never wait for the main thread.
//
// The log bridge may hand a line to the main thread and wait there, which SDL's audio thread and
// the read thread can never afford: the first would glitch or, while the main thread closes the
// device, deadlock; the second could hold up a stop. Those threads (and the play thread while it
// holds the player lock) put their lines here; a thread that may wait forwards them to the log
// bridge with Forward. Pushing only takes a short lock and never allocates beyond the cap.

#include "media/FFLog.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <mutex>

class TPlayerLogQueue {
public:
    // Lines beyond this many unforwarded ones are counted and dropped.
    static constexpr size_t Capacity = 256;

    void Push(TLogLevel level, const QString& msg);
    void PushFmt(TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // Writes every queued line to the active logger with sender as its sender; call only from a
    // thread that may wait for the main thread and holds no lock.
    void Forward(QObject* sender);
    bool Empty();

private:
    struct TLine {
        TLogLevel Level;
        QString Msg;
    };
    std::mutex FLock; // guards FLines and FDropped
    std::deque<TLine> FLines;
    size_t FDropped = 0;
    // Set with the first line; lets Forward skip the lock when there is nothing (the usual case
    // on every turn of the play thread).
    std::atomic<bool> FPending{false};
};
