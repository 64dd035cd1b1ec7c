#include "media/play/TPlayerLogQueue.h"

#include <cstdarg>

void TPlayerLogQueue::Push(TLogLevel level, const QString& msg) {
    std::lock_guard<std::mutex> lock(FLock);
    FPending = true;
    if (FLines.size() >= Capacity) {
        ++FDropped;
        return;
    }
    FLines.push_back({level, msg});
}

void TPlayerLogQueue::PushFmt(TLogLevel level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const QString msg = QString::vasprintf(fmt, args);
    va_end(args);
    Push(level, msg);
}

bool TPlayerLogQueue::Empty() {
    std::lock_guard<std::mutex> lock(FLock);
    return FLines.empty() && FDropped == 0;
}

void TPlayerLogQueue::Forward(QObject* sender) {
    if (!FPending.exchange(false))
        return;
    std::deque<TLine> lines;
    size_t dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        lines.swap(FLines);
        dropped = FDropped;
        FDropped = 0;
    }
    for (const TLine& line : lines)
        ActiveLogger()->Log(sender, line.Level, line.Msg);
    if (dropped > 0)
        ActiveLogger()->LogFmt(sender, llWarning, "%zu player log lines were dropped", dropped);
}
