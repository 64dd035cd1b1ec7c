#include "job/VelLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <system_error>

namespace {

QByteArray ReadAll(const QString& name) {
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteFile(const QString& name, const QByteArray& bytes) {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Tests compare timestamps with the C locale's ":" whatever the machine's settings are.
class VelLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Saved = QLocale();
        QLocale::setDefault(QLocale::c());
    }
    void TearDown() override { QLocale::setDefault(Saved); }

    QString Path(const QString& rel) const { return Dir.filePath(rel); }

    QTemporaryDir Dir;
    QLocale Saved;
};

// Checks one written line byte for byte: a timestamp taken between before and after, the gap,
// the message and CR LF.
void ExpectLine(const QByteArray& line, const QDateTime& before, const QDateTime& after,
                const QByteArray& gap, const QByteArray& message) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
    ASSERT_GE(line.size(), 19);
    const QString ts = QString::fromLatin1(line.left(19));
    EXPECT_TRUE(stamp.match(ts).hasMatch()) << ts.toStdString();
    const QDateTime when = QDateTime::fromString(ts, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_GE(when, before.addMSecs(-before.time().msec()));
    EXPECT_LE(when, after);
    EXPECT_EQ(line.mid(19), gap + message + "\r\n");
}

TEST_F(VelLogTest, ConstructorCreatesEmptyFileAndKeepsAnExistingOne) {
    const QString fresh = Path("fresh.txt");
    TVelLog a(fresh);
    EXPECT_TRUE(QFile::exists(fresh));
    EXPECT_EQ(QFileInfo(fresh).size(), 0);

    const QString old = Path("old.txt");
    WriteFile(old, "kept\r\n");
    TVelLog b(old);
    EXPECT_EQ(ReadAll(old), "kept\r\n");

    EXPECT_THROW(TVelLog(Path("no/such/folder/log1.txt")), std::system_error);
}

TEST_F(VelLogTest, BothLineFormatsByteForByte) {
    const QString name = Path("log.txt");
    TVelLog log(name);
    const QDateTime before = QDateTime::currentDateTime();
    ASSERT_TRUE(log.LogInfo(QStringLiteral("Begin Time:00:01:05")));
    ASSERT_TRUE(log.LogError(QStringLiteral("Failed to convert audio.")));
    ASSERT_TRUE(log.LogInfo(QString()));
    ASSERT_TRUE(log.LogError(QString()));
    const QDateTime after = QDateTime::currentDateTime();

    const QList<QByteArray> lines = ReadAll(name).split('\n');
    ASSERT_EQ(lines.size(), 5); // four lines and the empty rest after the last LF
    auto restore = [](const QByteArray& l) { return l + '\n'; };
    ExpectLine(restore(lines[0]), before, after, "          ", "Begin Time:00:01:05");
    ExpectLine(restore(lines[1]), before, after, "  ", "Failed to convert audio.");
    ExpectLine(restore(lines[2]), before, after, "          ", "");
    ExpectLine(restore(lines[3]), before, after, "  ", "");
    EXPECT_TRUE(lines[4].isEmpty());
}

TEST_F(VelLogTest, LineBreaksInMessageBecomeCrLfLinesWithoutTimestamp) {
    const QString name = Path("log.txt");
    TVelLog log(name);
    ASSERT_TRUE(log.LogError(QStringLiteral("first\nsecond\r\nthird")));
    const QByteArray bytes = ReadAll(name);
    EXPECT_TRUE(bytes.endsWith("  first\r\nsecond\r\nthird\r\n")) << bytes.toStdString();
    EXPECT_EQ(bytes.count("\r\n"), 3);
    EXPECT_EQ(bytes.count('\r'), 3); // no CR doubled in front of an existing CR LF
}

TEST_F(VelLogTest, NonLatinMessageIsWrittenInTheLocaleCharset) {
    const QString name = Path("log.txt");
    TVelLog log(name);
    ASSERT_TRUE(log.LogInfo(QStringLiteral("Output:/music/Ünïcødé 歌.mp3")));
    EXPECT_TRUE(ReadAll(name).endsWith(
        QStringLiteral("Output:/music/Ünïcødé 歌.mp3").toLocal8Bit() + "\r\n"));
}

TEST_F(VelLogTest, EachLineIsOnDiskBeforeTheNextCall) {
    // Another program may read the log while we run: a line written must be there at once, and
    // a file replaced under our feet is reopened by name rather than written through a stale
    // handle.
    const QString name = Path("log.txt");
    TVelLog log(name);
    ASSERT_TRUE(log.LogInfo(QStringLiteral("one")));
    EXPECT_TRUE(ReadAll(name).endsWith("one\r\n"));
    ASSERT_TRUE(QFile::remove(name));
    ASSERT_TRUE(log.LogInfo(QStringLiteral("two")));
    EXPECT_TRUE(ReadAll(name).endsWith("two\r\n"));
    EXPECT_FALSE(ReadAll(name).contains("one"));
}

TEST_F(VelLogTest, FailedWriteReportsFalseInsteadOfThrowing) {
    const QString folder = Path("gone");
    ASSERT_TRUE(QDir().mkdir(folder));
    TVelLog log(folder + "/log1.txt");
    ASSERT_TRUE(QDir(folder).removeRecursively());
    EXPECT_FALSE(log.LogInfo(QStringLiteral("lost")));
    EXPECT_FALSE(log.LogError(QStringLiteral("lost")));

    TVelLog discarding{QString()};
    EXPECT_FALSE(discarding.LogInfo(QStringLiteral("nowhere")));
}

TEST_F(VelLogTest, ElevenStartsKeepTenFilesNewestFirst) {
    const QString program = Path("bin");
    ASSERT_TRUE(QDir().mkdir(program));
    for (int run = 1; run <= 11; ++run) {
        auto log = OpenRunLog(program, Path("fallback"));
        EXPECT_EQ(log->FileName(), program + "/Log/log1.txt");
        ASSERT_TRUE(log->LogInfo(QStringLiteral("run %1").arg(run)));
    }
    const QStringList files = QDir(program + "/Log").entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(files.size(), 10) << files.join(' ').toStdString();
    for (int n = 1; n <= 10; ++n) {
        const QByteArray content = ReadAll(program + QStringLiteral("/Log/log%1.txt").arg(n));
        EXPECT_TRUE(content.endsWith(QStringLiteral("run %1\r\n").arg(12 - n).toLatin1()))
            << n << ": " << content.toStdString();
    }
    EXPECT_FALSE(QFile::exists(Path("fallback")));
}

TEST_F(VelLogTest, UnwritableProgramFolderSendsTheLogToTheFallback) {
    // Permission bits do not stop root, so the program folder is made unusable by placing it
    // under a regular file.
    WriteFile(Path("plainfile"), "x");
    const QString program = Path("plainfile/bin");
    const QString fallback = Path("state/snipwave/Log");

    auto first = OpenRunLog(program, fallback);
    EXPECT_EQ(first->FileName(), fallback + "/log1.txt");
    ASSERT_TRUE(first->LogInfo(QStringLiteral("first run")));
    auto second = OpenRunLog(program, fallback);
    ASSERT_TRUE(second->LogInfo(QStringLiteral("second run")));
    EXPECT_TRUE(ReadAll(fallback + "/log2.txt").endsWith("first run\r\n"));
    EXPECT_TRUE(ReadAll(fallback + "/log1.txt").endsWith("second run\r\n"));

    // An installed program never logs beside itself, even run by root, who could write there.
    const bool hadLog = QFileInfo::exists("/usr/bin/Log");
    auto installed = OpenRunLog("/usr/bin", fallback);
    EXPECT_EQ(installed->FileName(), fallback + "/log1.txt");
    EXPECT_EQ(QFileInfo::exists("/usr/bin/Log"), hadLog);
    EXPECT_TRUE(IsSystemProgramFolder("/usr/local/bin/"));
    EXPECT_FALSE(IsSystemProgramFolder(Path("bin")));

    // With no usable folder at all the start still goes on, with a log that writes nothing.
    auto none = OpenRunLog(program, Path("plainfile/state"));
    EXPECT_TRUE(none->FileName().isEmpty());
    EXPECT_FALSE(none->LogInfo(QStringLiteral("dropped")));
}

TEST_F(VelLogTest, FallbackFolderFollowsXdgStateHome) {
    const QByteArray savedState = qgetenv("XDG_STATE_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(Path("home")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(Path("state")));
    EXPECT_EQ(FallbackLogFolder(), Path("state") + "/snipwave/Log");
    qputenv("XDG_STATE_HOME", "relative/state"); // not absolute: ignored
    EXPECT_EQ(FallbackLogFolder(), Path("home") + "/.local/state/snipwave/Log");
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(FallbackLogFolder(), Path("home") + "/.local/state/snipwave/Log");
    qputenv("HOME", savedHome);
    if (savedState.isNull())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", savedState);
}

// The command line's log: nothing on disk until a line comes, then a run of its own in the
// state folder, made with its parents, the earlier runs rotated.
TEST_F(VelLogTest, ALogStartedOnItsFirstLineCreatesNothingBefore) {
    const QString folder = Path("state/snipwave/Log");
    {
        TVelLog& log = StartCommandLineLog(folder);
        EXPECT_TRUE(log.FileName().isEmpty());
        StopAppLog();
    }
    EXPECT_FALSE(QFileInfo::exists(Path("state")));
    for (const char* run : {"first", "second"}) {
        TVelLog& log = StartCommandLineLog(folder);
        ASSERT_TRUE(AppLog().LogInfo(QString::fromLatin1(run)));
        ASSERT_TRUE(log.LogInfo(QStringLiteral("again")));
        EXPECT_EQ(log.FileName(), folder + "/log1.txt");
        StopAppLog();
    }
    const QByteArray first = ReadAll(folder + "/log2.txt"), second = ReadAll(folder + "/log1.txt");
    EXPECT_TRUE(first.contains("first\r\n") && first.endsWith("again\r\n")) << first.data();
    EXPECT_TRUE(second.contains("second\r\n") && !second.contains("first")) << second.data();

    WriteFile(Path("plainfile"), "x");
    auto nowhere = TVelLog::StartedOnFirstLine(Path("plainfile/Log"));
    EXPECT_FALSE(nowhere->LogInfo(QStringLiteral("dropped")));
    EXPECT_FALSE(nowhere->LogInfo(QStringLiteral("dropped, no second try")));
    EXPECT_TRUE(nowhere->FileName().isEmpty());
}

TEST_F(VelLogTest, TimestampUsesTheLocaleTimeSeparator) {
    const QDateTime when(QDate(2010, 5, 21), QTime(14, 3, 7));
    EXPECT_EQ(LogTimestamp(when, QLocale::c()), "2010-05-21 14:03:07");
    EXPECT_EQ(LogTimestamp(when, QLocale(QLocale::Finnish, QLocale::Finland)),
              "2010-05-21 14.03.07");
    EXPECT_EQ(LogTimestamp(QDateTime(QDate(987, 1, 2), QTime(0, 0, 0)), QLocale::c()),
              "0987-01-02 00:00:00");
}

TEST_F(VelLogTest, AppLogIsTheStartedInstance) {
    const QString program = Path("bin");
    ASSERT_TRUE(QDir().mkdir(program));
    TVelLog& started = StartAppLog(program, Path("fallback"));
    EXPECT_EQ(&AppLog(), &started);
    ASSERT_TRUE(AppLog().LogError(QStringLiteral("via AppLog")));
    EXPECT_TRUE(ReadAll(program + "/Log/log1.txt").endsWith("  via AppLog\r\n"));
    StopAppLog();
}

} // namespace
