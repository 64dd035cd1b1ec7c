#include "media/FFLog.h"

#include "media/FFEntryPoints.h"
#include "media/MyUtils.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <unordered_map>
#include <vector>

#include <unistd.h>

// The process-wide state of the bridge. It is never destroyed: avutil keeps calling our
// callback from whatever thread logs, possibly while static objects are being torn down.
struct TLogBridge {
    // The log lock. Guards every field below and, in each logger, FOnLog, FQueue and FUses.
    std::mutex Lock;
    TFFLogger* Active = nullptr;
    // Made on first need and never freed: a thread may still hold it when the process ends.
    TFFLogger* Automatic = nullptr;
    std::condition_variable UsesReleased; // a logger's use count reached 0
    // Per thread id, the text of its unfinished line. An entry goes away once its line is
    // finished, so threads that come and go leave nothing behind.
    std::unordered_map<uint32_t, std::string> Pending;
    // The last fragment that began a line, of any thread, and how often it came again since as
    // a whole line of its own. Empty after a fragment that continued a line.
    std::string PreviousLine;
    int RepeatCount = 0;

    // Makes the creation of the automatic instance happen once; taken before Lock, never inside
    // it.
    std::mutex CreateLock;

    // The number last given to the libraries; read lock-free by the callback's level check.
    std::atomic<int> LibraryLevel{AV_LOG_INFO};

    static TLogBridge& Get() {
        static TLogBridge* bridge = new TLogBridge;
        return *bridge;
    }
    static void Callback(void* avcl, int level, const char* fmt, va_list vl);
};

namespace {

// Bytes of one library call's text, prefix included; the rest of a longer call is cut off.
constexpr size_t LineBufferSize = 2048;
// avutil 50.15.2: from this class version on, an AVClass may name its parent context.
constexpr int ParentContextVersion = (50 << 16) | (15 << 8) | 2;

const char* const LevelNames[] = {"quiet",   "panic", "fatal",   "error",
                                  "warning", "info",  "verbose", "debug"};

// Set when this thread queued lines while holding the codec lock; DeliverHeldLogLines sends
// them on once the lock is free.
thread_local bool LinesHeldBack = false;
// Set on threads that must never wait for the main thread (TLogNoWaitScope).
thread_local bool NeverWaitForMainThread = false;

const char* ItemName(void* obj, const AVClass* cls) {
    const char* name = cls->item_name != nullptr ? cls->item_name(obj) : cls->class_name;
    return name != nullptr ? name : "";
}

// "[parent @ 0x...] [object @ 0x...]" for the first fragment of a line, as far as it fits.
size_t FormatPrefix(void* avcl, char* buf, size_t size) {
    const AVClass* cls = *static_cast<const AVClass**>(avcl);
    if (cls == nullptr)
        return 0;
    int used = 0;
    if (cls->version > ParentContextVersion && cls->parent_log_context_offset != 0) {
        auto** parent = *reinterpret_cast<const AVClass***>(static_cast<uint8_t*>(avcl) +
                                                            cls->parent_log_context_offset);
        if (parent != nullptr && *parent != nullptr)
            used = std::snprintf(buf, size, "[%s @ %p] ", ItemName(parent, *parent),
                                 static_cast<void*>(parent));
    }
    if (used < 0)
        used = 0;
    if (static_cast<size_t>(used) < size) {
        const int more =
            std::snprintf(buf + used, size - used, "[%s @ %p]", ItemName(avcl, cls), avcl);
        if (more > 0)
            used += more;
    }
    return std::min(static_cast<size_t>(used), size - 1);
}

// Formats one call's text into buf (zero-terminated). A text cut off at the end of the buffer
// keeps its closing line feed, so a long line does not swallow the next one.
void FormatFragment(char* buf, size_t size, int level, const char* fmt, va_list vl) {
    va_list args;
    va_copy(args, vl);
    int needed;
    if (ff::av_log_format_line2 != nullptr) {
        int printPrefix = 0; // the prefix is ours
        needed = ff::av_log_format_line2(nullptr, level, fmt, args, buf, static_cast<int>(size),
                                         &printPrefix);
    } else {
        needed = std::vsnprintf(buf, size, fmt, args);
    }
    va_end(args);
    if (needed < 0) {
        buf[0] = '\0';
        return;
    }
    const size_t fmtLength = std::strlen(fmt);
    if (static_cast<size_t>(needed) >= size && size > 1 && fmtLength > 0 &&
        fmt[fmtLength - 1] == '\n')
        buf[size - 2] = '\n';
}

struct TLibraryEvent {
    uint32_t ThreadID;
    int Level;
    std::string Line;
};

} // namespace

// The libraries call this on any thread. Nothing may escape it: an exception unwinding into C
// code would end the program.
void TLogBridge::Callback(void* avcl, int level, const char* fmt, va_list vl) {
    TLogBridge& bridge = Get();
    // The byte above a non-negative level may carry a colour for the console; it is no level.
    if (level >= 0)
        level &= 0xff;
    if (level > bridge.LibraryLevel.load(std::memory_order_relaxed) || fmt == nullptr)
        return;
    try {
        char text[LineBufferSize];
        FormatFragment(text, sizeof text, level, fmt, vl);
        const uint32_t threadId = CurrentThreadID();

        std::vector<TLibraryEvent> finished;
        TLoggerRef target;
        {
            std::lock_guard lock(bridge.Lock);
            std::string fragment;
            auto pending = bridge.Pending.find(threadId);
            const bool lineStart = pending == bridge.Pending.end() || pending->second.empty();
            if (avcl != nullptr && lineStart) {
                char prefix[LineBufferSize];
                const size_t length = FormatPrefix(avcl, prefix, sizeof prefix);
                fragment.assign(prefix, length);
                fragment.append(text, std::min(std::strlen(text), LineBufferSize - 1 - length));
            } else {
                fragment = text;
            }

            // Only a whole line of its own counts as a repeat: a fragment that finishes some
            // thread's line must reach that line even when it looks like the previous one.
            if (lineStart && !fragment.empty() && fragment.back() == '\n' &&
                fragment == bridge.PreviousLine) {
                ++bridge.RepeatCount;
                return;
            }
            if (bridge.RepeatCount > 0) {
                char repeated[64];
                std::snprintf(repeated, sizeof repeated, "    Last message repeated %d times",
                              bridge.RepeatCount);
                finished.push_back({threadId, level, repeated});
                bridge.RepeatCount = 0;
            }
            if (lineStart)
                bridge.PreviousLine = fragment;
            else
                bridge.PreviousLine.clear();

            if (pending == bridge.Pending.end())
                pending = bridge.Pending.emplace(threadId, std::string()).first;
            std::string& line = pending->second;
            line += fragment;
            size_t start = 0;
            for (size_t feed; (feed = line.find('\n', start)) != std::string::npos;
                 start = feed + 1)
                finished.push_back({threadId, level, line.substr(start, feed - start)});
            line.erase(0, start);
            if (line.empty())
                bridge.Pending.erase(pending);

            TFFLogger* active = bridge.Active;
            bool queued = false;
            if (active != nullptr)
                for (const TLibraryEvent& event : finished)
                    queued |= active->EnqueueLocked(active, event.ThreadID,
                                                    LibraryToLogLevel(event.Level),
                                                    QString::fromUtf8(event.Line));
            if (queued)
                target = TLoggerRef(active);
        }
        // The handler runs after the lock is released and may wait for the main thread; the
        // reference keeps the logger alive meanwhile.
        if (target)
            target->DeliverNowOrLater();
    } catch (...) {
        // A line that could not be stored or a handler that threw loses only that text.
    }
}

int LogLevelToLibrary(TLogLevel level) {
    return int(level) * 8 - 8;
}

TLogLevel LibraryToLogLevel(int number) {
    if (number < AV_LOG_QUIET)
        return llQuiet;
    // Arithmetic shift: -8..-1 give -1, i.e. quiet.
    const int level = (number >> 3) + 1;
    return level >= int(llDebug) ? llDebug : TLogLevel(std::max(level, int(llQuiet)));
}

int LogLevelNumberByName(const QString& text) {
    for (int level = llQuiet; level <= llDebug; ++level)
        if (text.compare(QLatin1String(LevelNames[level]), Qt::CaseInsensitive) == 0)
            return LogLevelToLibrary(TLogLevel(level));
    bool ok = false;
    const int number = text.trimmed().toInt(&ok, 10);
    if (!ok)
        throw std::invalid_argument("'" + text.toStdString() + "' is not a valid integer value");
    return number;
}

uint32_t CurrentThreadID() {
    return static_cast<uint32_t>(::gettid());
}

TFFLogger::TFFLogger(QObject* parent) : TFFLogger(parent, false) {}

// The automatic instance is published by ActiveLogger; a component takes over at once. The
// instance it replaces stays alive: other threads may be using it.
TFFLogger::TFFLogger(QObject* parent, bool automatic)
    : TFFEventTrigger(parent), FAutomatic(automatic) {
    TLogBridge& bridge = TLogBridge::Get();
    FLogLevel = LibraryToLogLevel(bridge.LibraryLevel.load());
    if (!automatic) {
        std::lock_guard lock(bridge.Lock);
        bridge.Active = this;
    }
}

// Nothing new reaches this logger once it is no longer active and has no handler; then the
// deliveries in progress are let finish and every reference handed out is waited for. On the
// main thread the waits run main-thread calls, which a delivering thread may be blocked in.
TFFLogger::~TFFLogger() {
    TLogBridge& bridge = TLogBridge::Get();
    {
        std::lock_guard lock(bridge.Lock);
        if (bridge.Active == this)
            bridge.Active = nullptr;
        FOnLog = nullptr;
        FQueue.clear();
    }
    WaitForDeliveries();
    std::unique_lock lock(bridge.Lock);
    while (FUses > 0) {
        if (IsMainThread()) {
            lock.unlock();
            PumpMessages();
            lock.lock();
        }
        bridge.UsesReleased.wait_for(lock, std::chrono::milliseconds(1));
    }
}

void TFFLogger::WaitForDeliveries() {
    const auto deliver = LockPumping(FDeliverLock);
}

void TFFLogger::SetLogLevel(TLogLevel value) {
    // Pushed every time: the libraries' level is process-wide, and another logger may have
    // changed it since this one last did.
    FLogLevel.store(value);
    ApplyLevel();
}

void TFFLogger::SetLogLevelByName(const QString& text) {
    SetLogLevel(LibraryToLogLevel(LogLevelNumberByName(text)));
}

void TFFLogger::ApplyLevel() {
    if (ff::av_log_set_level == nullptr)
        return;
    const int number = LogLevelToLibrary(LogLevel());
    TLogBridge::Get().LibraryLevel = number;
    ff::av_log_set_level(number);
}

void TFFLogger::InstallCallback() {
    if (ff::av_log_set_callback == nullptr)
        return;
    ff::av_log_set_callback(&TLogBridge::Callback);
    ApplyLevel();
}

void TFFLogger::Log(QObject* sender, TLogLevel level, const QString& msg) {
    const TLogLevel current = LogLevel();
    if (level > current && !(level == llVerbose && current != llQuiet))
        return;
    bool queued;
    {
        std::lock_guard lock(TLogBridge::Get().Lock);
        queued = EnqueueLocked(sender, CurrentThreadID(), level, msg);
    }
    if (queued)
        DeliverNowOrLater();
}

void TFFLogger::LogFmt(QObject* sender, TLogLevel level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const QString msg = QString::vasprintf(fmt, args);
    va_end(args);
    Log(sender, level, msg);
}

void TFFLogger::LogFmt(TLogLevel level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const QString msg = QString::vasprintf(fmt, args);
    va_end(args);
    Log(nullptr, level, msg);
}

void TFFLogger::LogLibraryLine(uint32_t threadId, int libraryLevel, const QString& line) {
    bool queued;
    {
        std::lock_guard lock(TLogBridge::Get().Lock);
        queued = EnqueueLocked(this, threadId, LibraryToLogLevel(libraryLevel), line);
    }
    if (queued)
        DeliverNowOrLater();
}

TLogEvent TFFLogger::OnLog() const {
    std::lock_guard lock(TLogBridge::Get().Lock);
    return FOnLog;
}

void TFFLogger::SetOnLog(TLogEvent handler) {
    TLogEvent previous;
    {
        std::lock_guard lock(TLogBridge::Get().Lock);
        previous = std::exchange(FOnLog, std::move(handler));
    }
    // A delivery runs its handlers while holding FDeliverLock; once we had it, none that could
    // still call the previous handler is left.
    WaitForDeliveries();
}

bool TFFLogger::EnqueueLocked(QObject* sender, uint32_t threadId, TLogLevel level,
                              const QString& msg) {
    if (!FOnLog)
        return false;
    FQueue.push_back({sender, threadId, level, msg});
    return true;
}

void TFFLogger::DeliverNowOrLater() {
    if (HoldsCodecLock()) {
        LinesHeldBack = true;
    } else if (NeverWaitForMainThread && TriggerEventInMainThread() && !IsMainThread()) {
        // Queued for the main thread's event loop; dropped with the logger if it goes first.
        QMetaObject::invokeMethod(
            this, [this] { RunQueue(); }, Qt::QueuedConnection);
    } else {
        Deliver();
    }
}

void TFFLogger::Deliver() {
    // The queue may hold other threads' events made earlier; running it in order delivers those
    // first, so handlers see events in the order they were made.
    try {
        if (TriggerEventInMainThread())
            CallInMainThread([this] { RunQueue(); });
        else
            RunQueue();
    } catch (...) {
        // Only a failed hand-over can get here; the lines stay queued for the next delivery.
    }
}

void TFFLogger::RunQueue() {
    TLogBridge& bridge = TLogBridge::Get();
    for (;;) {
        {
            std::unique_lock deliver(FDeliverLock, std::defer_lock);
            // The main thread never waits here: the thread running the queue may itself be
            // waiting for the main thread inside its handler. It delivers our events too.
            if (IsMainThread()) {
                if (!deliver.try_lock())
                    return;
            } else {
                deliver.lock();
            }
            for (;;) {
                TLogInfo event;
                TLogEvent handler;
                {
                    std::lock_guard lock(bridge.Lock);
                    if (FQueue.empty())
                        break;
                    event = std::move(FQueue.front());
                    FQueue.pop_front();
                    handler = FOnLog;
                }
                if (!handler)
                    continue;
                // A logging call sits in catch blocks, destructors and clean-up paths all over
                // the media layer; a handler's failure must not turn one of them into another.
                try {
                    handler(event.Sender, event.ThreadID, event.Level, event.Msg);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "OnLog handler failed: %s\n", e.what());
                } catch (...) {
                    std::fprintf(stderr, "OnLog handler failed\n");
                }
            }
        }
        // An event queued by a thread that found the queue busy just before we let go.
        std::lock_guard lock(bridge.Lock);
        if (FQueue.empty())
            return;
    }
}

TLoggerRef::TLoggerRef(TFFLogger* logger) : FLogger(logger) {
    if (FLogger != nullptr)
        ++FLogger->FUses;
}

TLoggerRef::TLoggerRef(const TLoggerRef& other) : FLogger(other.FLogger) {
    if (FLogger != nullptr) {
        std::lock_guard lock(TLogBridge::Get().Lock);
        ++FLogger->FUses;
    }
}

TLoggerRef& TLoggerRef::operator=(const TLoggerRef& other) {
    if (this != &other) {
        TLoggerRef copy(other);
        std::swap(FLogger, copy.FLogger);
    }
    return *this;
}

TLoggerRef& TLoggerRef::operator=(TLoggerRef&& other) noexcept {
    std::swap(FLogger, other.FLogger); // other lets go of ours when it goes
    return *this;
}

TLoggerRef::~TLoggerRef() {
    if (FLogger == nullptr)
        return;
    TLogBridge& bridge = TLogBridge::Get();
    std::lock_guard lock(bridge.Lock);
    if (--FLogger->FUses == 0)
        bridge.UsesReleased.notify_all();
}

TLoggerRef ActiveLogger() {
    TLogBridge& bridge = TLogBridge::Get();
    {
        std::lock_guard lock(bridge.Lock);
        if (bridge.Active != nullptr)
            return TLoggerRef(bridge.Active);
    }
    std::lock_guard create(bridge.CreateLock);
    TFFLogger* automatic;
    {
        std::lock_guard lock(bridge.Lock);
        automatic = bridge.Automatic;
    }
    if (automatic == nullptr) {
        automatic = new TFFLogger(nullptr, true);
        // Made from whatever thread asked first, it belongs with the main thread's objects. Moved
        // before anyone else can see it.
        if (auto* app = QCoreApplication::instance())
            automatic->moveToThread(app->thread());
    }
    std::lock_guard lock(bridge.Lock);
    bridge.Automatic = automatic;
    if (bridge.Active == nullptr)
        bridge.Active = automatic;
    return TLoggerRef(bridge.Active);
}

void DeliverHeldLogLines() {
    if (!LinesHeldBack || HoldsCodecLock())
        return;
    LinesHeldBack = false;
    ActiveLogger()->Deliver();
}

TLogNoWaitScope::TLogNoWaitScope() : FOuter(NeverWaitForMainThread) {
    NeverWaitForMainThread = true;
}

TLogNoWaitScope::~TLogNoWaitScope() {
    NeverWaitForMainThread = FOuter;
}
