#include "media/FFUtils.h"
#include "media/MyUtils.h"
#include "media/UnicodeProtocol.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

void Touch(const QString& name, qint64 size = 0) {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << name.toStdString();
    f.write(QByteArray(size, 'x'));
}

TEST(PathFunctions, SlashIsTheOnlyDelimiter) {
    EXPECT_EQ(IncludeTrailingBackslashW("/music"), "/music/");
    EXPECT_EQ(IncludeTrailingBackslashW("/music/"), "/music/");
    EXPECT_EQ(IncludeTrailingBackslashW(""), ""); // never turns "here" into the root
    EXPECT_EQ(IncludeTrailingBackslashW("C:\\Music"), "C:\\Music/");

    EXPECT_EQ(ExtractFilePathW("/a/b.mp3"), "/a/");
    EXPECT_EQ(ExtractFilePathW("a:b.mp3"), ""); // no drive letters on Linux
    EXPECT_EQ(ExtractFilePathW("b.mp3"), "");
    EXPECT_EQ(ExtractFilePathW("/"), "/");
    EXPECT_EQ(ExtractFileNameW("/a/b.mp3"), "b.mp3");
    EXPECT_EQ(ExtractFileNameW("x/a:b.mp3"), "a:b.mp3");
    EXPECT_EQ(ExtractFileNameW("/a/"), "");
    // Characters outside the BMP are surrogate pairs in UTF-16 and must come through whole.
    EXPECT_EQ(ExtractFileNameW(QStringLiteral("/𝄞/歌 𝄞.mp3")), QStringLiteral("歌 𝄞.mp3"));

    EXPECT_EQ(ExtractFilePath(std::string("/a/b.mp3")), "/a/");
    EXPECT_EQ(ExtractFileName(std::string("/a/b.mp3")), "b.mp3");
    EXPECT_EQ(IncludeTrailingBackslash(std::string("/a")), "/a/");
}

TEST(PathFunctions, ExpandFileNameResolvesAgainstTheCurrentFolder) {
    QTemporaryDir dir;
    const QString saved = GetCurrentDirW();
    ASSERT_TRUE(SetCurrentDirW(dir.path()));
    const QString here = QDir::current().absolutePath();
    EXPECT_EQ(GetCurrentDirW(), here);
    EXPECT_EQ(ExpandFileNameW("x/../b.mp3"), here + "/b.mp3");
    EXPECT_EQ(ExpandFileNameW("sub/"), here + "/sub/");
    EXPECT_EQ(ExpandFileNameW("/a//b/./c"), "/a/b/c");
    EXPECT_EQ(ExpandFileNameW(""), "");
    EXPECT_FALSE(SetCurrentDirW(dir.filePath("missing")));
    EXPECT_FALSE(SetCurrentDirW(""));
    ASSERT_TRUE(SetCurrentDirW(saved));
}

TEST(PathFunctions, ExistenceAndSizeOfFiles) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("a:b [1]*?.mp3")); // wildcard-like name
    Touch(file, 5000);
    EXPECT_TRUE(FileExistsW(file));
    EXPECT_TRUE(FileExists(file.toStdString()));
    EXPECT_EQ(GetFileSizeW(file), 5000);
    Touch(dir.filePath("empty"));
    EXPECT_EQ(GetFileSizeW(dir.filePath("empty")), 0);

    EXPECT_FALSE(FileExistsW(dir.path())); // a folder is not a file
    EXPECT_EQ(GetFileSizeW(dir.path()), -1);
    EXPECT_FALSE(FileExistsW(dir.filePath("missing")));
    EXPECT_EQ(GetFileSizeW(dir.filePath("missing")), -1);
    EXPECT_EQ(GetFileSizeW(""), -1);
}

TEST(PathFunctions, EnvironmentVariables) {
    qputenv("SNIPWAVE_UTILS_TEST", QStringLiteral("wert ü").toLocal8Bit());
    EXPECT_EQ(GetEnvVarW("SNIPWAVE_UTILS_TEST"), QStringLiteral("wert ü"));
    const QString longValue(5000, u'v'); // longer than any fixed buffer
    qputenv("SNIPWAVE_UTILS_TEST", longValue.toLatin1());
    EXPECT_EQ(GetEnvVarW("SNIPWAVE_UTILS_TEST"), longValue);
    qunsetenv("SNIPWAVE_UTILS_TEST");
    EXPECT_EQ(GetEnvVarW("SNIPWAVE_UTILS_TEST"), "");
    EXPECT_EQ(GetEnvVarW(""), "");
}

TEST(DirectorySearch, WildcardsAndAttributeMask) {
    QTemporaryDir dir;
    Touch(dir.filePath("one.mp3"), 10);
    Touch(dir.filePath("two.MP3"), 20);
    Touch(dir.filePath("three.mp3x"), 30);
    Touch(dir.filePath(".hidden.mp3"), 40);
    Touch(dir.filePath("noext"), 50);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.mp3"));

    auto search = [&](const QString& pattern, int attr) {
        std::set<QString> names;
        TSearchRecW rec;
        for (int r = FindFirstW(dir.filePath(pattern), attr, rec); r == 0; r = FindNextW(rec)) {
            names.insert(rec.Name);
            if (rec.Name == "one.mp3") {
                EXPECT_EQ(rec.Size, 10);
                EXPECT_EQ(rec.Attr & (faDirectory | faHidden), 0);
                EXPECT_TRUE(rec.Time.isValid());
            }
            if (rec.Name == "folder.mp3") {
                EXPECT_NE(rec.Attr & faDirectory, 0);
            }
        }
        FindCloseW(rec);
        return names;
    };

    EXPECT_EQ(search("*.mp3", 0), (std::set<QString>{"one.mp3"}));
    EXPECT_EQ(search("*.mp3", faAnyFile),
              (std::set<QString>{"one.mp3", ".hidden.mp3", "folder.mp3"}));
    EXPECT_EQ(search("t??.*", 0), (std::set<QString>{"two.MP3"}));
    EXPECT_EQ(search("*.*", 0), (std::set<QString>{"one.mp3", "two.MP3", "three.mp3x", "noext"}));
    EXPECT_EQ(search("noext", 0), (std::set<QString>{"noext"}));

    TSearchRecW rec;
    EXPECT_EQ(FindFirstW(dir.filePath("*.wav"), faAnyFile, rec), ENOENT);
    EXPECT_EQ(FindFirstW(dir.filePath("missing/*"), faAnyFile, rec), ENOENT);
    EXPECT_NE(FindNextW(rec), 0);
}

TEST(SizeText, StrictThresholds) {
    const QLocale c = QLocale::c();
    EXPECT_EQ(SizeText(0, c), "0 Byte");
    EXPECT_EQ(SizeText(1024, c), "1024 Byte");
    EXPECT_EQ(SizeText(1025, c), "1.00 KB");
    EXPECT_EQ(SizeText(1048576, c), "1024.00 KB"); // no digit grouping
    EXPECT_EQ(SizeText(1048577, c), "1.00 MB");
    EXPECT_EQ(SizeText(5242880, c), "5.00 MB");
    EXPECT_EQ(SizeText(1073741824, c), "1024.00 MB");
    EXPECT_EQ(SizeText(1073741825, c), "1.00 GB");
    EXPECT_EQ(SizeText(int64_t(5000) * 1073741824, c), "5000.00 GB");
    EXPECT_EQ(SizeText(-1, c), "-1 Byte");
    EXPECT_EQ(SizeText(5242880, QLocale(QLocale::German, QLocale::Germany)), "5,00 MB");
    EXPECT_EQ(SizeText(int64_t(1536) * 1048576, QLocale(QLocale::German, QLocale::Germany)),
              "1,50 GB");
}

TEST(TimeText, FieldsSignAndNoTime) {
    EXPECT_EQ(TimeText(3723004000), "01:02:03.004");
    EXPECT_EQ(TimeText(0), "00:00:00.000");
    EXPECT_EQ(TimeText(999999), "00:00:00.999");
    EXPECT_EQ(TimeText(int64_t(360000) * 1000000), "100:00:00.000");
    EXPECT_EQ(TimeText(-1500000), "-00:00:01.500");
    EXPECT_EQ(TimeText(-1), "-00:00:00.000");
    EXPECT_EQ(TimeText(AV_NOPTS_VALUE), "N/A");
    EXPECT_EQ(TimeText(AV_NOPTS_VALUE + 1), "-2562047788:00:54.775");
}

TEST(LibErrorText, CurrentCodesMapToTheirTexts) {
    const QString f = QStringLiteral("a.mp3");
    EXPECT_EQ(LibErrorText(f, AVERROR(ENOENT)), "a.mp3: No such file or directory");
    EXPECT_EQ(LibErrorText(f, AVERROR(EIO)), "a.mp3: I/O error");
    EXPECT_EQ(LibErrorText(f, AVERROR(ENOMEM)), "a.mp3: Not enough memory");
    EXPECT_EQ(LibErrorText(f, AVERROR_INVALIDDATA),
              "a.mp3: Invalid data found when processing input");
    // FFmpeg 5.1 says EINVAL where the table's -22 meant invalid data.
    EXPECT_EQ(LibErrorText(f, AVERROR(EINVAL)), "a.mp3: Invalid data found when processing input");
    EXPECT_EQ(LibErrorText(f, AVERROR_NOT_REGULAR_FILE), "a.mp3: not a regular file");
    EXPECT_EQ(LibErrorText(f, AVERROR_EOF), "a.mp3: End of file");
    EXPECT_EQ(LibErrorText(f, AVERROR_PROTOCOL_NOT_FOUND), "a.mp3: Unsupported network protocol");
    EXPECT_EQ(LibErrorText(f, AVERROR_DEMUXER_NOT_FOUND), "a.mp3: Unknown format");
    EXPECT_EQ(LibErrorText(f, AVERROR(EDOM)), "a.mp3: Number syntax expected in filename");
    EXPECT_EQ(LibErrorText(f, AVERROR_PATCHWELCOME), "a.mp3: Not yet implemented in FFmpeg");

    // Codes without a text of their own, including errno values whose old numbers happened to
    // collide with the table, report the number.
    EXPECT_EQ(LibErrorText(f, -7), "a.mp3: Error number -7 occurred");
    EXPECT_EQ(LibErrorText(f, AVERROR(EPIPE)), "a.mp3: Error number -32 occurred");
    EXPECT_EQ(LibErrorText(f, 0), "a.mp3: Error number 0 occurred");
    EXPECT_EQ(LibErrorText(QString(), AVERROR(EIO)), ": I/O error");
}

TEST(MediaTypeName, KnownAndUnknownTypes) {
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_VIDEO), "Video");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_AUDIO), "Audio");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_DATA), "Data");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_UNKNOWN), "Unknown");
    EXPECT_EQ(MediaTypeName(5), "Unknown");
}

TEST(CutText, HeadRestAndMissingDelimiter) {
    QString text = QStringLiteral("ab=cd<CRLF>ef=gh");
    QString head;
    CutText(text, "<CRLF>", false, head);
    EXPECT_EQ(head, "ab=cd");
    EXPECT_EQ(text, "ab=cd<CRLF>ef=gh");
    CutText(text, "<CRLF>", true, head);
    EXPECT_EQ(head, "ab=cd");
    EXPECT_EQ(text, "ef=gh");
    CutText(text, "<CRLF>", true, head);
    EXPECT_EQ(head, "ef=gh");
    EXPECT_EQ(text, "");

    text = QStringLiteral("=value");
    CutText(text, "=", true, head);
    EXPECT_EQ(head, "");
    EXPECT_EQ(text, "value");

    // An empty delimiter never matches, so a cut-until-empty loop terminates.
    text = QStringLiteral("abc");
    int rounds = 0;
    while (!text.isEmpty() && rounds < 5) {
        CutText(text, "", true, head);
        ++rounds;
    }
    EXPECT_EQ(rounds, 1);
    EXPECT_EQ(head, "abc");

    // The same string as text and head.
    QString both = QStringLiteral("x,y");
    CutText(both, ",", true, both);
    EXPECT_EQ(both, "x");
}

TEST(MainThreadCalls, WorkerCallRunsOnTheMainThreadWhileItPumps) {
    ASSERT_TRUE(IsMainThread());
    QThread* const mainThread = QThread::currentThread();

    std::atomic<bool> done{false};
    QThread* ranOn = nullptr;
    bool workerSawResult = false;
    bool workerWasMain = true;
    std::thread worker([&] {
        workerWasMain = IsMainThread();
        int value = 0;
        CallInMainThread([&] {
            ranOn = QThread::currentThread();
            value = 42;
        });
        workerSawResult = value == 42; // the call returned only after the main thread ran it
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 10000) {
        PumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_FALSE(workerWasMain);
    EXPECT_EQ(ranOn, mainThread);
    EXPECT_TRUE(workerSawResult);

    // On the main thread the call is direct, with no event loop needed.
    bool direct = false;
    CallInMainThread([&] { direct = QThread::currentThread() == mainThread; });
    EXPECT_TRUE(direct);
}

TEST(MainThreadCalls, AnExceptionOfTheCallReachesTheWorkerNotTheEventLoop) {
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            CallInMainThread([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 10000) {
        PumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_EQ(caught, "handler failed");

    // The main thread's own call throws as any direct call would.
    EXPECT_THROW(CallInMainThread([] { throw std::logic_error("direct"); }), std::logic_error);
}

TEST(MainThreadCalls, ManyWorkersAreServedOneAtATimeOnTheMainThread) {
    // The counter is a plain int: only the main thread may touch it, and the thread sanitizer
    // build checks that every worker sees the main thread's writes once its call returns.
    int counter = 0;
    std::atomic<int> finished{0};
    constexpr int Workers = 4, Calls = 50;
    std::vector<std::thread> threads;
    std::atomic<bool> allOnMain{true};
    for (int w = 0; w < Workers; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < Calls; ++i) {
                int seen = -1;
                CallInMainThread([&] {
                    if (!IsMainThread())
                        allOnMain = false;
                    seen = ++counter;
                });
                if (seen <= 0)
                    allOnMain = false;
            }
            ++finished;
        });
    }
    QElapsedTimer timer;
    timer.start();
    while (finished < Workers && timer.elapsed() < 20000)
        PumpMessages();
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(counter, Workers * Calls);
}

} // namespace
