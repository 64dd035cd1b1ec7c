// Outputs appear under their names only complete: what a failed run does to a file that was
// there (nothing), what a successful one keeps of it (its permission bits, its links), the
// refusal to replace a file that appeared meanwhile, and the clean-up of temporaries that a dead
// process left.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace enginetest;

namespace {

class AtomicOutputTest : public testing::Test {
protected:
    void SetUp() override { LoadEngineLibraries(); }
    QString Out(const QString& name) const { return Dir.filePath(name); }
    // Every name in the folder, hidden ones included.
    QStringList Entries() const {
        return QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    void WriteFile(const QString& name, const QByteArray& data) {
        QFile f(Out(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir Dir;
};

mode_t ModeOf(const QString& file) {
    struct stat st {};
    ::stat(QFile::encodeName(file).constData(), &st);
    return st.st_mode & 07777;
}

TEST_F(AtomicOutputTest, FailedRunsLeaveTheExistingTargetByteIdentical) {
    const QByteArray old("the user's own file, not an MP3 at all");
    WriteFile("kept.mp3", old);

    // The source ends long before the range does.
    TTestEngine shortSource;
    ASSERT_TRUE(
        SetUpCut(shortSource, testpaths::fixture("truncated.mp3"), Out("kept.mp3"), 0, 10000000));
    shortSource.S().RequireRecordingTime = true;
    shortSource.Start(false, 0);
    EXPECT_TRUE(shortSource.Failed());
    EXPECT_TRUE(QString::fromStdString(shortSource.ErrorText())
                    .contains(QRegularExpression(
                        "^The source file ends before the range does: only 2\\.[4-7] s of the "
                        "10 s asked could be cut\\.$")))
        << shortSource.ErrorText();
    EXPECT_EQ(ReadAll(Out("kept.mp3")), old);

    // A write fails halfway: the file size limit stands in for a full disk.
    TTestEngine limited;
    ASSERT_TRUE(SetUpCut(limited, testpaths::fixture("tone200.mp3"), Out("kept.mp3"), 0,
                         ffopt::NoTimeLimit));
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    limited.Start(false, 0);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(limited.Failed());
    EXPECT_NE(limited.ErrorText().find("File too large"), std::string::npos) << limited.ErrorText();
    EXPECT_EQ(ReadAll(Out("kept.mp3")), old);
    EXPECT_EQ(Entries(), QStringList{"kept.mp3"});

    // Without the whole-range demand the same short source is cut as far as it goes.
    TTestEngine lenient;
    ASSERT_TRUE(
        SetUpCut(lenient, testpaths::fixture("truncated.mp3"), Out("kept.mp3"), 0, 10000000));
    lenient.Start(false, 0);
    EXPECT_FALSE(lenient.Failed()) << lenient.ErrorText();
    EXPECT_NEAR(DecodedSeconds(Out("kept.mp3")), 2.6, 0.2);
}

TEST_F(AtomicOutputTest, AReplacedTargetKeepsItsModeAndItsLinks) {
    WriteFile("real.mp3", "old");
    ASSERT_EQ(::chmod(QFile::encodeName(Out("real.mp3")).constData(), 0604), 0);
    ASSERT_TRUE(QFile::link(Out("real.mp3"), Out("link.mp3")));

    TTestEngine engine;
    ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("link.mp3"), 0, 2000000));
    // While the run is pending nothing under the name has changed.
    EXPECT_EQ(ReadAll(Out("real.mp3")), QByteArray("old"));
    engine.Start(false, 0);
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();

    EXPECT_TRUE(QFileInfo(Out("link.mp3")).isSymLink());
    EXPECT_EQ(ModeOf(Out("real.mp3")), mode_t(0604));
    EXPECT_TRUE(HasXingLameHeader(Out("real.mp3")));
    EXPECT_NEAR(DecodedSeconds(Out("real.mp3")), 2.0, 0.05);
    EXPECT_EQ(Entries(), (QStringList{"link.mp3", "real.mp3"}));
}

TEST_F(AtomicOutputTest, AFileThatAppearedMeanwhileIsNotReplacedUnlessAllowed) {
    for (const bool noReplace : {true, false}) {
        QFile::remove(Out("race.mp3"));
        TTestEngine engine;
        ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
        engine.S().AudioCodecName = "libmp3lame";
        engine.S().RecordingTime = 1000000;
        engine.S().NoReplace = noReplace;
        ASSERT_GT(engine.OpenOutputFile(Out("race.mp3"), false), 0) << engine.LastErrorText();
        WriteFile("race.mp3", "another program's file");
        engine.Start(false, 0);
        if (noReplace) {
            EXPECT_TRUE(engine.Failed());
            EXPECT_FALSE(engine.Finished());
            EXPECT_EQ(engine.ErrorText(), Out("race.mp3").toStdString() + ": file exists");
            EXPECT_EQ(ReadAll(Out("race.mp3")), QByteArray("another program's file"));
        } else {
            EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
            EXPECT_NEAR(DecodedSeconds(Out("race.mp3")), 1.0, 0.05);
        }
        EXPECT_EQ(Entries(), QStringList{"race.mp3"});
    }
}

TEST_F(AtomicOutputTest, ANameTheFileSystemRefusesFailsAtCreationNotAfterTheRun) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    const QString name = Out(QString(300, QLatin1Char('n')) + ".mp3");
    EXPECT_EQ(engine.OpenOutputFile(name, false), -1);
    EXPECT_EQ(engine.LastErrorText(), name.toStdString() + ": File name too long");
    EXPECT_EQ(Entries(), QStringList());
}

TEST_F(AtomicOutputTest, TemporariesOfDeadProcessesAreSweptAndOthersKept) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const QString dead = QStringLiteral(".snipwave-%1-0badc0de-old.mp3.part").arg(child);
    const QString alive = QStringLiteral(".snipwave-1-0badc0de-other.mp3.part"); // init lives
    const QString unrelated = QStringLiteral(".snipwave-notes.part");
    for (const QString& name : {dead, alive, unrelated})
        WriteFile(name, "x");

    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    ASSERT_GT(engine.OpenOutputFile(Out("new.mp3"), false), 0) << engine.LastErrorText();
    const QStringList during = Entries();
    EXPECT_FALSE(during.contains(dead));
    EXPECT_TRUE(during.contains(alive));
    EXPECT_TRUE(during.contains(unrelated));
    // Our own temporary: hidden, named after the program, its process and the target.
    const QStringList ours =
        during.filter(QRegularExpression(QStringLiteral("^\\.snipwave-%1-[0-9a-f]{8}-new\\.mp3"
                                                        "\\.part$")
                                             .arg(::getpid())));
    EXPECT_EQ(ours.size(), 1) << during.join(' ').toStdString();
}

} // namespace
