// snipwave-cli when things go wrong around it: failed and killed cuts, stop signals, a file size
// limit, sources that are not files, and several cuts at once. Whatever happens, a file under
// the output's name is either the one that was there or a complete cut.
#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

namespace {

class CliReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
        Source = Dir.filePath("tone200.mp3");
        ASSERT_TRUE(QFile::copy(testpaths::fixture("tone200.mp3"), Source));
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    // Every name in the scratch folder, hidden temporaries included.
    QStringList AllEntries() const {
        return QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    QStringList Temporaries() const {
        return AllEntries().filter(QRegularExpression(QStringLiteral("^\\.snipwave-.*\\.part$")));
    }
    void WriteFile(const QString& name, const QByteArray& data) {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    QTemporaryDir Dir;
    QString Source;
};

QByteArray ReadAllOf(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Starts a cut of the whole 200 s source and returns once its progress reached `percent`.
std::unique_ptr<QProcess> StartLongCut(const QString& source, const QString& output, int percent) {
    auto cli = std::make_unique<QProcess>();
    cli->start(CliPath(),
               {"cut", source, "--start", "0", "--end", "200", "--output", output, "--force"});
    if (!cli->waitForStarted(10000))
        return nullptr;
    cli->setReadChannel(QProcess::StandardError);
    static const QRegularExpression line(QStringLiteral("(?:^|\n)([0-9]+)%\n"));
    QByteArray err;
    for (;;) {
        int reached = -1;
        auto it = line.globalMatch(QString::fromLatin1(err));
        while (it.hasNext())
            reached = it.next().captured(1).toInt();
        if (reached >= percent)
            return cli;
        if (!cli->waitForReadyRead(60000))
            return nullptr;
        err += cli->readAllStandardError();
    }
}


// A cut of from..to seconds, started and left running.
std::unique_ptr<QProcess> StartCut(const QString& source, const QString& output, int from, int to,
                                   bool force) {
    auto cli = std::make_unique<QProcess>();
    QStringList args{"cut",  source, "--start",  QString::number(from),
                     "--end", QString::number(to), "--output", output};
    if (force)
        args << "--force";
    cli->start(CliPath(), args);
    return cli;
}

TEST_F(CliReliabilityTest, AKilledCutLeavesTheTargetAsItWasAndItsTemporaryIsSweptLater) {
    const QByteArray old = "the user's old file";
    WriteFile("old.mp3", old);
    for (const QString& name : {QStringLiteral("old.mp3"), QStringLiteral("fresh.mp3")}) {
        std::unique_ptr<QProcess> cli = StartLongCut(Source, Path(name), 50);
        ASSERT_TRUE(cli);
        cli->kill(); // SIGKILL: no handler, no clean-up
        ASSERT_TRUE(cli->waitForFinished(30000));
    }
    EXPECT_EQ(ReadAllOf(Path("old.mp3")), old);
    EXPECT_FALSE(QFileInfo::exists(Path("fresh.mp3")));
    // The second cut has already swept the first one's temporary.
    EXPECT_EQ(Temporaries().size(), 1) << AllEntries().join(' ').toStdString();

    // The next cut into the folder removes what the dead one left.
    const TRun run =
        RunCli({"cut", Source, "--start", "0", "--end", "2", "--output", Path("next.mp3")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(Temporaries(), QStringList());
    EXPECT_NEAR(Probe(Path("next.mp3")).Duration, 2.0, 0.05);
}

TEST_F(CliReliabilityTest, StopSignalsPutAValidShorterFileInPlace) {
    const std::pair<int, int> cases[] = {{SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& [signal, status] : cases) {
        SCOPED_TRACE(signal);
        const QString output = Path(QStringLiteral("stopped%1.mp3").arg(signal));
        WriteFile(QStringLiteral("stopped%1.mp3").arg(signal), "old");
        std::unique_ptr<QProcess> cli = StartLongCut(Source, output, 5);
        ASSERT_TRUE(cli);
        ::kill(pid_t(cli->processId()), signal);
        ASSERT_TRUE(cli->waitForFinished(60000));
        ASSERT_EQ(cli->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cli->exitCode(), status) << cli->readAllStandardError().toStdString();
        const TProbe out = Probe(output);
        ASSERT_TRUE(out.Ok);
        EXPECT_GT(out.Duration, 0.5);
        EXPECT_LT(out.Duration, 199.0);
        EXPECT_TRUE(DecodesCleanly(output));
    }
    EXPECT_EQ(Temporaries(), QStringList());
}

// The range was there when the cut began; the source shrinks under it. A forced cut onto an
// existing file leaves that file byte for byte as it was.
TEST_F(CliReliabilityTest, ASourceTruncatedWhileItIsCutFailsTheCutClearly) {
    const QByteArray old = "the user's old file";
    WriteFile("song.mp3", old);
    for (const QString& name : {QStringLiteral("shrunk.mp3"), QStringLiteral("song.mp3")}) {
        SCOPED_TRACE(name.toStdString());
        ASSERT_TRUE(QFile::remove(Source));
        ASSERT_TRUE(QFile::copy(testpaths::fixture("tone200.mp3"), Source));
        std::unique_ptr<QProcess> cli = StartLongCut(Source, Path(name), 5);
        ASSERT_TRUE(cli);
        ASSERT_TRUE(QFile::resize(Source, 1000000)); // another program cuts it to about 62 s
        ASSERT_TRUE(cli->waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(cli->readAllStandardError());
        EXPECT_EQ(cli->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cli->exitCode(), 1) << err.toStdString();
        EXPECT_TRUE(err.contains("The source file ends before the range does"))
            << err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(Path("shrunk.mp3")));
    EXPECT_EQ(ReadAllOf(Path("song.mp3")), old);
    EXPECT_EQ(Temporaries(), QStringList());
}

TEST_F(CliReliabilityTest, AFileSizeLimitFailsTheCutWithTheSystemsReason) {
    const QByteArray old = "the user's old file";
    WriteFile("limited.mp3", old);
    QProcess cli;
    cli.setChildProcessModifier([] {
        // Ignored here, ignored in the program after exec: the write fails with EFBIG instead.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{200000, 200000};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    cli.start(CliPath(), {"cut", Source, "--start", "0", "--end", "200", "--output",
                          Path("limited.mp3"), "--force"});
    ASSERT_TRUE(cli.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains("File too large")) << err.toStdString();
    EXPECT_EQ(ReadAllOf(Path("limited.mp3")), old);
    EXPECT_EQ(Temporaries(), QStringList());
}

TEST_F(CliReliabilityTest, SourcesThatAreNotFilesAreRefusedAtOnce) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("fifo.mp3")).constData(), 0600), 0);
    QDir(Dir.path()).mkdir("folder.mp3");
    for (const QString& source : {Path("folder.mp3"), Path("fifo.mp3"), QString("/dev/zero")}) {
        SCOPED_TRACE(source.toStdString());
        for (const char* command : {"info", "cut"}) {
            QStringList args{command, source};
            if (QString(command) == "cut")
                args << "--start"
                     << "0"
                     << "--end"
                     << "2"
                     << "--output" << Path("x.mp3");
            const TRun run = RunCli(args, 20000); // a hang on the FIFO fails here
            EXPECT_EQ(run.ExitCode, 1) << run.Err.toStdString();
            EXPECT_TRUE(run.Err.contains(source + ": not a regular file")) << run.Err.toStdString();
            EXPECT_FALSE(run.Err.contains("Error number")) << run.Err.toStdString();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(Path("x.mp3")));
}

TEST_F(CliReliabilityTest, ConcurrentCutsIntoTheirOwnFilesAreEachComplete) {
    std::vector<std::unique_ptr<QProcess>> eight;
    for (int i = 0; i < 8; ++i)
        eight.push_back(
            StartCut(Source, Path(QStringLiteral("part%1.mp3").arg(i)), i * 10, i * 10 + 20, false));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(eight[size_t(i)]->waitForFinished(300000));
        EXPECT_EQ(eight[size_t(i)]->exitCode(), 0)
            << eight[size_t(i)]->readAllStandardError().toStdString();
        const QString out = Path(QStringLiteral("part%1.mp3").arg(i));
        EXPECT_NEAR(Probe(out).Duration, 20.0, 0.05) << i;
        EXPECT_TRUE(DecodesCleanly(out)) << i;
    }
    EXPECT_EQ(Temporaries(), QStringList());
}

// Both cuts pass the check for an existing output long before either puts its file in place;
// the rename itself must refuse to replace the winner's file.
TEST_F(CliReliabilityTest, TwoCutsOntoOneNewNameGiveOneFileAndOneRefusalEveryTime) {
    const QString output = Path("one.mp3");
    int refusedAtTheRename = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        QFile::remove(output);
        auto a = StartCut(Source, output, 0, 4, false);
        auto b = StartCut(Source, output, 100, 107, false);
        ASSERT_TRUE(a->waitForFinished(300000));
        ASSERT_TRUE(b->waitForFinished(300000));
        const QString errA = QString::fromLocal8Bit(a->readAllStandardError());
        const QString errB = QString::fromLocal8Bit(b->readAllStandardError());
        ASSERT_EQ((a->exitCode() == 0) + (b->exitCode() == 0), 1)
            << errA.toStdString() << errB.toStdString();
        const bool aWon = a->exitCode() == 0;
        const QString& loserErr = aWon ? errB : errA;
        EXPECT_EQ((aWon ? b : a)->exitCode(), 1) << loserErr.toStdString();
        EXPECT_TRUE(loserErr.contains("file exists")) << loserErr.toStdString();
        if (loserErr.contains(output + ": file exists"))
            ++refusedAtTheRename;
        // The file is the winner's, whole.
        EXPECT_NEAR(Probe(output).Duration, aWon ? 4.0 : 7.0, 0.05);
        EXPECT_TRUE(DecodesCleanly(output));
        EXPECT_EQ(Temporaries(), QStringList());
    }
    EXPECT_GT(refusedAtTheRename, 0) << "the cuts never overlapped";
}

TEST_F(CliReliabilityTest, TwoForcedCutsOntoOneNameLeaveOneCompleteFile) {
    const QString output = Path("one.mp3");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        QFile::remove(output);
        // The second starts while the first is well under way, as a user trying again would.
        std::unique_ptr<QProcess> a = StartLongCut(Source, output, 10);
        ASSERT_TRUE(a);
        auto b = StartCut(Source, output, 100, 107, true);
        ASSERT_TRUE(a->waitForFinished(300000));
        ASSERT_TRUE(b->waitForFinished(300000));
        EXPECT_EQ(a->exitCode(), 0) << a->readAllStandardError().toStdString();
        EXPECT_EQ(b->exitCode(), 0) << b->readAllStandardError().toStdString();
        const double duration = Probe(output).Duration;
        EXPECT_TRUE(std::abs(duration - 200.0) < 0.05 || std::abs(duration - 7.0) < 0.05)
            << duration;
        EXPECT_TRUE(DecodesCleanly(output));
        EXPECT_EQ(Temporaries(), QStringList());
    }
}

// Progress on stderr goes to a reader that leaves after ten bytes; the cut goes on to the end.
TEST_F(CliReliabilityTest, AProgressReaderThatGoesAwayNeitherKillsNorShortensTheCut) {
    const TRawRun run = RunScript(QStringLiteral("\"$CLI\" cut '%1' --start 0 --end 3:20 --output "
                                                 "'%2' 2>&1 >/dev/null | head -c 10 >/dev/null; "
                                                 "echo \"${PIPESTATUS[0]}\"")
                                      .arg(Source, Path("piped.mp3")));
    EXPECT_EQ(run.Out.trimmed(), "0") << run.Err.toStdString();
    EXPECT_NEAR(Probe(Path("piped.mp3")).Duration, 200.0, 0.05);
    EXPECT_TRUE(DecodesCleanly(Path("piped.mp3")));
}

} // namespace
