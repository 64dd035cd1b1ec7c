// The log bridge against the real avutil: av_log from several threads, line assembly, repeat
// collapsing, the level rules and delivery into the main thread.
#include "media/FFEntryPoints.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/MyUtils.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing::ElementsAre;

namespace {

struct TEvent {
    QObject* Sender;
    uint32_t ThreadID;
    TLogLevel Level;
    QString Msg;
    bool InMainThread;
};

// Pumps the main thread's events until pred holds; false after the timeout.
template <class Pred> bool PumpUntil(Pred pred, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        PumpMessages();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// An object the libraries accept as a log context: its first field is its class.
const char* TestItemName(void* obj);
struct TLogObject {
    const AVClass* Class;
    TLogObject* Parent = nullptr; // reached through the class's parent offset
    const char* Name;
};
const char* TestItemName(void* obj) {
    return static_cast<TLogObject*>(obj)->Name;
}
const AVClass TestClass = {
    .class_name = "test",
    .item_name = TestItemName,
    .option = nullptr,
    .version = LIBAVUTIL_VERSION_INT,
    .log_level_offset_offset = 0,
    .parent_log_context_offset = offsetof(TLogObject, Parent),
    .category = AV_CLASS_CATEGORY_NA,
    .get_category = nullptr,
    .query_ranges = nullptr,
    .child_next = nullptr,
    .child_class_iterate = nullptr,
};

class FFLogTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(lkAVUtil))) << FFLoader().LastError();
        ActiveLogger()->InstallCallback();
    }

    void SetUp() override {
        Logger = std::make_unique<TFFLogger>();
        Logger->SetLogLevel(llInfo);
        Logger->ApplyLevel();
        // A line no test repeats, while nobody listens, so that no earlier test's last line or
        // repeat count reaches this one.
        static int round = 0;
        ff::av_log(nullptr, AV_LOG_INFO, "-- test %d --\n", ++round);
        Logger->SetOnLog(
            [this](QObject* sender, uint32_t threadId, TLogLevel level, const QString& msg) {
                std::lock_guard lock(EventLock);
                Events.push_back({sender, threadId, level, msg, IsMainThread()});
            });
    }

    void TearDown() override { Logger.reset(); }

    std::vector<TEvent> Take() {
        std::lock_guard lock(EventLock);
        return std::move(Events);
    }
    std::vector<QString> Messages() {
        std::vector<QString> texts;
        for (const TEvent& event : Take())
            texts.push_back(event.Msg);
        return texts;
    }
    size_t Count() {
        std::lock_guard lock(EventLock);
        return Events.size();
    }

    std::unique_ptr<TFFLogger> Logger;
    std::mutex EventLock; // guards Events, filled by the handler on any thread
    std::vector<TEvent> Events;
};

TEST_F(FFLogTest, JoinsFragmentsIntoOneLineWithTheObjectPrefixOfTheFirstOnly) {
    Logger->SetTriggerEventInMainThread(false);
    TLogObject parent{&TestClass, nullptr, "demuxer"};
    TLogObject child{&TestClass, &parent, "stream"};

    ff::av_log(&child, AV_LOG_WARNING, "Estimating duration from bitrate, ");
    ff::av_log(&child, AV_LOG_WARNING, "this may be %s\n", "inaccurate");
    ff::av_log(&parent, AV_LOG_ERROR, "two lines\nin one call\n");
    ff::av_log(nullptr, AV_LOG_INFO, "no object\n");

    const QString childPrefix = QString::asprintf(
        "[demuxer @ %p] [stream @ %p]", static_cast<void*>(&parent), static_cast<void*>(&child));
    const QString parentPrefix = QString::asprintf("[demuxer @ %p]", static_cast<void*>(&parent));
    const std::vector<TEvent> events = Take();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].Msg,
              childPrefix + "Estimating duration from bitrate, this may be inaccurate");
    EXPECT_EQ(events[0].Level, llWarning);
    EXPECT_EQ(events[0].Sender, Logger.get());
    EXPECT_EQ(events[0].ThreadID, CurrentThreadID());
    EXPECT_EQ(events[1].Msg, parentPrefix + "two lines");
    EXPECT_EQ(events[1].Level, llError);
    EXPECT_EQ(events[2].Msg, "in one call");
    EXPECT_EQ(events[3].Msg, "no object");

    // An over-long call is cut short but still ends its line.
    const std::string longText(5000, 'x');
    ff::av_log(nullptr, AV_LOG_INFO, "%s\n", longText.c_str());
    ff::av_log(nullptr, AV_LOG_INFO, "next\n");
    const std::vector<QString> texts = Messages();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_GT(texts[0].size(), 1000);
    EXPECT_LT(texts[0].size(), 2048);
    EXPECT_EQ(texts[0].count('x'), texts[0].size());
    EXPECT_EQ(texts[1], "next");
}

TEST_F(FFLogTest, LinesFromSeveralThreadsStayWholeAndInOrder) {
    Logger->SetTriggerEventInMainThread(false);
    constexpr int Threads = 4;
    constexpr int Lines = 200;
    std::vector<uint32_t> ids(Threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([t, &ids] {
            ids[t] = CurrentThreadID();
            for (int i = 0; i < Lines; ++i) {
                ff::av_log(nullptr, AV_LOG_INFO, "thread %d ", t);
                ff::av_log(nullptr, AV_LOG_INFO, "line ");
                ff::av_log(nullptr, AV_LOG_INFO, "%d\n", i);
            }
        });
    for (std::thread& worker : workers)
        worker.join();

    std::vector<int> next(Threads, 0);
    for (const TEvent& event : Take()) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(event.Msg.toUtf8().constData(), "thread %d line %d", &t, &i), 2)
            << event.Msg.toStdString();
        ASSERT_TRUE(t >= 0 && t < Threads);
        EXPECT_EQ(event.ThreadID, ids[t]);
        EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
        next[t] = i + 1;
    }
    EXPECT_THAT(next, testing::Each(Lines));
}

TEST_F(FFLogTest, CollapsesRepeatedLines) {
    Logger->SetTriggerEventInMainThread(false);
    for (int i = 0; i < 3; ++i)
        ff::av_log(nullptr, AV_LOG_INFO, "same line\n");
    EXPECT_THAT(Messages(), ElementsAre("same line"));

    ff::av_log(nullptr, AV_LOG_WARNING, "another line\n");
    const std::vector<TEvent> events = Take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Msg, "    Last message repeated 2 times");
    EXPECT_EQ(events[0].Level, llWarning);
    EXPECT_EQ(events[1].Msg, "another line");

    // The end of one thread's line that looks like another thread's whole line is not a repeat,
    // and a whole line after it is not a repeat of that end either.
    std::mutex step;
    std::condition_variable changed;
    int stage = 0;
    auto advanceTo = [&](int next) {
        std::lock_guard lock(step);
        stage = next;
        changed.notify_all();
    };
    auto waitFor = [&](int wanted) {
        std::unique_lock lock(step);
        changed.wait(lock, [&] { return stage == wanted; });
    };
    std::thread worker([&] {
        ff::av_log(nullptr, AV_LOG_INFO, "counted ");
        advanceTo(1);
        waitFor(2);
        ff::av_log(nullptr, AV_LOG_INFO, "7\n");
        advanceTo(3);
    });
    waitFor(1);
    ff::av_log(nullptr, AV_LOG_INFO, "7\n");
    advanceTo(2);
    waitFor(3);
    ff::av_log(nullptr, AV_LOG_INFO, "7\n");
    worker.join();
    EXPECT_THAT(Messages(), ElementsAre("7", "counted 7", "7"));
}

TEST_F(FFLogTest, LevelRules) {
    Logger->SetTriggerEventInMainThread(false);
    ASSERT_EQ(Logger->LogLevel(), llInfo);
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_INFO);
    ff::av_log(nullptr, AV_LOG_VERBOSE, "library verbose\n");
    ff::av_log(nullptr, AV_LOG_INFO, "library info\n");
    Logger->Log(llVerbose, "status line");
    Logger->Log(llDebug, "own debug");
    Logger->LogFmt(Logger.get(), llError, "%s failed with %d", "open", -2);
    std::vector<TEvent> events = Take();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Msg, "library info");
    EXPECT_EQ(events[1].Msg, "status line");
    EXPECT_EQ(events[1].Level, llVerbose);
    EXPECT_EQ(events[1].Sender, nullptr);
    EXPECT_EQ(events[2].Msg, "open failed with -2");
    EXPECT_EQ(events[2].Sender, Logger.get());

    Logger->SetLogLevel(llQuiet);
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);
    ff::av_log(nullptr, AV_LOG_PANIC, "library panic\n");
    Logger->Log(llVerbose, "status line");
    EXPECT_TRUE(Take().empty());
}

TEST_F(FFLogTest, LevelNamesAndNumbers) {
    Logger->SetLogLevelByName("WARNING");
    EXPECT_EQ(Logger->LogLevel(), llWarning);
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_WARNING);
    Logger->SetLogLevelByName("20");
    EXPECT_EQ(Logger->LogLevel(), llError);
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_ERROR);
    EXPECT_THROW(Logger->SetLogLevelByName("loud"), std::invalid_argument);
    EXPECT_EQ(Logger->LogLevel(), llError);

    const std::pair<int, TLogLevel> numbers[] = {{-100, llQuiet}, {-8, llQuiet}, {-1, llQuiet},
                                                 {0, llPanic},    {7, llPanic},  {8, llFatal},
                                                 {31, llWarning}, {32, llInfo},  {40, llVerbose},
                                                 {47, llVerbose}, {48, llDebug}, {56, llDebug}};
    for (auto [number, level] : numbers)
        EXPECT_EQ(LibraryToLogLevel(number), level) << number;
    for (int level = llQuiet; level <= llDebug; ++level)
        EXPECT_EQ(LibraryToLogLevel(LogLevelToLibrary(TLogLevel(level))), level);
}

TEST_F(FFLogTest, WorkerWaitsWhileTheMainThreadDelivers) {
    ASSERT_TRUE(Logger->TriggerEventInMainThread());
    std::atomic<bool> handled{false};
    std::atomic<bool> handledBeforeReturn{false};
    std::atomic<bool> done{false};
    uint32_t workerId = 0;
    Logger->SetOnLog([&](QObject*, uint32_t threadId, TLogLevel, const QString& msg) {
        std::lock_guard lock(EventLock);
        Events.push_back({nullptr, threadId, llInfo, msg, IsMainThread()});
        handled = true;
    });
    std::thread worker([&] {
        workerId = CurrentThreadID();
        ff::av_log(nullptr, AV_LOG_INFO, "from the worker\n");
        handledBeforeReturn = handled.load();
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(handledBeforeReturn);
    const std::vector<TEvent> events = Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].InMainThread);
    EXPECT_EQ(events[0].ThreadID, workerId);
}

TEST_F(FFLogTest, MainThreadLoggingDuringDeliveryDoesNotDeadlock) {
    // Workers hand their lines to the main thread while the main thread logs itself, both
    // directly and from inside the handler.
    std::atomic<int> handled{0};
    Logger->SetOnLog([&](QObject*, uint32_t threadId, TLogLevel, const QString& msg) {
        {
            std::lock_guard lock(EventLock);
            Events.push_back({nullptr, threadId, llInfo, msg, IsMainThread()});
        }
        if (++handled % 10 == 0)
            ff::av_log(nullptr, AV_LOG_INFO, "from the handler %d\n", handled.load());
    });
    constexpr int Threads = 3;
    constexpr int Lines = 50;
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < Lines; ++i)
                ff::av_log(nullptr, AV_LOG_INFO, "worker %d line %d\n", t, i);
            ++finished;
        });
    int own = 0;
    EXPECT_TRUE(PumpUntil([&] {
        if (own < Lines)
            Logger->Log(llInfo, QString("main %1").arg(own++));
        return finished == Threads && own == Lines;
    }));
    for (std::thread& worker : workers)
        worker.join();

    const std::vector<TEvent> events = Take();
    int fromWorkers = 0;
    for (const TEvent& event : events) {
        EXPECT_TRUE(event.InMainThread);
        fromWorkers += event.Msg.startsWith("worker ");
    }
    EXPECT_EQ(fromWorkers, Threads * Lines);
}

TEST_F(FFLogTest, DirectHandlerWaitingForTheMainThreadDoesNotBlockIt) {
    // A handler on a worker that waits for the main thread, while the main thread logs: the main
    // thread must not wait for that handler, and its line still arrives.
    Logger->SetTriggerEventInMainThread(false);
    std::atomic<bool> inHandler{false};
    std::atomic<bool> done{false};
    Logger->SetOnLog([&](QObject*, uint32_t threadId, TLogLevel, const QString& msg) {
        {
            std::lock_guard lock(EventLock);
            Events.push_back({nullptr, threadId, llInfo, msg, IsMainThread()});
        }
        if (msg == "worker") {
            inHandler = true;
            std::this_thread::sleep_for(50ms);
            CallInMainThread([] {});
        }
    });
    std::thread worker([&] {
        ff::av_log(nullptr, AV_LOG_INFO, "worker\n");
        done = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return inHandler.load(); }));
    ff::av_log(nullptr, AV_LOG_INFO, "main\n");
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_THAT(Messages(), ElementsAre("worker", "main"));
}

TEST_F(FFLogTest, SwitchingTheDeliveryThreadWhileAWorkerLogsLosesNothing) {
    // The owner may flip the switch at any time; each line is delivered once, in order, on
    // whichever side the switch pointed to when it was raised.
    constexpr int Lines = 200;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < Lines; ++i)
            ff::av_log(nullptr, AV_LOG_INFO, "line %d\n", i);
        done = true;
    });
    bool toMain = false;
    EXPECT_TRUE(PumpUntil([&] {
        Logger->SetTriggerEventInMainThread(toMain = !toMain);
        return done.load();
    }));
    worker.join();
    const std::vector<QString> messages = Messages();
    ASSERT_EQ(messages.size(), size_t(Lines));
    for (int i = 0; i < Lines; ++i)
        EXPECT_EQ(messages[i], QString("line %1").arg(i));
}

TEST_F(FFLogTest, ANewComponentTakesOverFromTheAutomaticLoggerAndKeepsTheLevel) {
    Logger.reset();
    TFFLogger* automatic = ActiveLogger().get();
    ASSERT_TRUE(automatic->Automatic());
    EXPECT_EQ(ActiveLogger().get(), automatic);
    automatic->SetLogLevel(llWarning);
    QPointer<TFFLogger> watch(automatic);

    Logger = std::make_unique<TFFLogger>();
    // Another thread may still be logging through the automatic one: it stays alive, inactive.
    EXPECT_FALSE(watch.isNull());
    EXPECT_FALSE(Logger->Automatic());
    EXPECT_EQ(Logger->LogLevel(), llWarning);
    EXPECT_EQ(ActiveLogger().get(), Logger.get());

    // A later component takes over; the earlier one, owned by someone, stays alive.
    {
        TFFLogger later;
        EXPECT_EQ(ActiveLogger().get(), &later);
        EXPECT_EQ(Logger->LogLevel(), llWarning);
    }
    // With no component left the same automatic instance serves again.
    Logger.reset();
    EXPECT_EQ(ActiveLogger().get(), automatic);
}

} // namespace

namespace {

// Loggers come and go on the main thread while workers keep logging through whichever is active
// (the libraries and every component do): no logger may go away under a thread using it.
TEST(FFLogLifetime, LoggersComeAndGoWhileOtherThreadsLog) {
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0}, ended{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&] {
            while (!stop.load())
                ActiveLogger()->Log(llError, QStringLiteral("worker line"));
            ++ended;
        });
    const auto until = std::chrono::steady_clock::now() + 5s;
    for (int i = 0; i < 300 || (delivered.load() == 0 && std::chrono::steady_clock::now() < until);
         ++i) {
        TFFLogger logger; // takes over from the automatic one or an earlier component
        logger.SetLogLevel(llInfo);
        logger.SetTriggerEventInMainThread(i % 2 == 0);
        logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString&) { ++delivered; });
        PumpMessages();
        // Going away with a handler set, while workers may be delivering to it.
    }
    stop = true;
    // A worker may be waiting for the main thread to deliver its last line.
    EXPECT_TRUE(PumpUntil([&] { return ended.load() == 2; }));
    for (auto& t : workers)
        t.join();
    EXPECT_GT(delivered.load(), 0);
}

// Detaching the handler is a barrier: once SetOnLog returns, the old handler has returned on
// every thread and is never called again, also when it was waiting for the main thread.
TEST(FFLogLifetime, DetachingTheHandlerWaitsForItsCallsInFlight) {
    TFFLogger logger;
    logger.SetLogLevel(llInfo);
    logger.SetTriggerEventInMainThread(false);
    std::atomic<bool> inside{false}, finished{false}, detached{false};
    std::atomic<int> callsAfter{0};
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString& msg) {
        if (detached.load())
            ++callsAfter;
        if (msg != "slow")
            return;
        inside = true;
        CallInMainThread([] { std::this_thread::sleep_for(30ms); });
        finished = true;
    });
    std::atomic<bool> ended{false};
    std::thread worker([&] {
        ActiveLogger()->Log(llError, QStringLiteral("slow"));
        for (int i = 0; i < 50; ++i)
            ActiveLogger()->Log(llError, QStringLiteral("after"));
        ended = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return inside.load(); }));
    logger.SetOnLog(nullptr);
    detached = true;
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(PumpUntil([&] { return ended.load(); }));
    worker.join();
    EXPECT_EQ(callsAfter.load(), 0);
}

} // namespace

namespace {

// An audio device's callback may not wait for the main thread, even to log: its lines, its own
// and the libraries', wait in the queue until the main thread runs its events.
TEST(FFLogLifetime, AThreadThatMustNotWaitLogsWhileTheMainThreadIsBusy) {
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(lkAVUtil))) << FFLoader().LastError();
    TFFLogger logger;
    logger.InstallCallback();
    logger.SetLogLevel(llInfo);
    std::mutex linesLock;
    std::vector<QString> lines; // guarded by linesLock
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString& msg) {
        std::lock_guard<std::mutex> g(linesLock);
        lines.push_back(msg);
    });
    std::atomic<bool> returned{false};
    static int run = 0; // a line like the last one would be taken for a repeat
    const int thisRun = ++run;
    std::thread callback([&] {
        TLogNoWaitScope noWait;
        ActiveLogger()->Log(llError, QStringLiteral("ours"));
        ff::av_log(nullptr, AV_LOG_ERROR, "the library's %d\n", thisRun);
        returned = true;
    });
    // The main thread is busy, not pumping: the logging thread must get through anyway.
    for (int i = 0; i < 5000 && !returned.load(); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(returned.load());
    callback.join();
    EXPECT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> g(linesLock);
        return lines.size() == 2;
    }));
    std::lock_guard<std::mutex> g(linesLock);
    EXPECT_THAT(lines, ElementsAre("ours", QString("the library's %1").arg(thisRun)));
}

} // namespace
