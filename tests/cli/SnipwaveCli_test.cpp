// snipwave-cli end to end: the real binary on generated fixtures, its outputs checked with
// ffprobe and sox, never with our own code.
#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace clitest;

namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
    }

    // A private copy of a fixture, so that a fault could never damage the shared one and the
    // default output lands in the scratch folder.
    QString Copy(const QString& fixture, const QString& name = QString()) {
        const QString target = Dir.filePath(name.isEmpty() ? fixture : name);
        QFile::copy(testpaths::fixture(fixture), target);
        return target;
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }

    QTemporaryDir Dir;
};

// Refused runs: a clear message on stderr, status 1, nothing new in the folder, source intact.
void ExpectRefused(const TRun& run, const QString& folder, const QStringList& before,
                   const QString& source, const QByteArray& sum, const char* messagePart) {
    EXPECT_EQ(run.ExitCode, 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains(QString::fromUtf8(messagePart), Qt::CaseInsensitive))
        << run.Err.toStdString();
    EXPECT_EQ(Entries(folder), before);
    if (!source.isEmpty()) {
        EXPECT_EQ(Checksum(source), sum);
    }
}

TEST_F(CliTest, InfoPrintsTheNineLinesAndFailsClearlyOnAMissingFile) {
    const QString source = Copy("tone200.mp3");
    TRun run = RunCli({"info", source});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const QStringList lines = run.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 9) << run.Out.toStdString();
    EXPECT_EQ(lines[0], "File Name: " + source);
    EXPECT_TRUE(lines[1].startsWith("Type: MP2/3")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], "Title: ");
    EXPECT_EQ(lines[5], "Year: 0");
    EXPECT_TRUE(lines[6].startsWith("File Size: ")) << lines[6].toStdString();
    EXPECT_EQ(lines[7], "Duration: 00:03:20");
    EXPECT_EQ(lines[8], "Bit Rate: 128 kbps");

    run = RunCli({"info", Path("missing.mp3")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.startsWith("Failed to load file, error message: "))
        << run.Err.toStdString();
    EXPECT_TRUE(run.Out.isEmpty());
}

TEST_F(CliTest, UsageErrorsHelpAndVersion) {
    const QString source = Copy("tone200.mp3");
    for (const QStringList& args :
         {QStringList{}, QStringList{"frobnicate"}, QStringList{"cut", source, "--start", "10"},
          QStringList{"cut", source, "--start", "1:75", "--end", "20"},
          QStringList{"cut", source, "--start", "-5", "--end", "20"},
          QStringList{"cut", source, "--start", "20", "--end", "10"},
          QStringList{"cut", source, "--start", "0", "--end", "20", "--volume", "101"},
          QStringList{"cut", source, "--start", "0", "--end", "20", "--bogus"},
          QStringList{"info"}}) {
        const TRun run = RunCli(args);
        EXPECT_EQ(run.ExitCode, 2) << args.join(' ').toStdString();
        EXPECT_FALSE(run.Err.isEmpty());
    }
    EXPECT_EQ(Entries(Dir.path()), QStringList{"tone200.mp3"});

    TRun run = RunCli({"--help"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Out.contains("snipwave-cli cut FILE --start T --end T"));
    run = RunCli({"--version"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Out.startsWith("snipwave-cli")) << run.Out.toStdString();
}

// The window keeps its log beside the program; the command line never writes there. Its log is
// in the state folder, and a run that logs nothing (help, version, a wrong option) makes none.
TEST_F(CliTest, TheLogGoesToTheStateFolderAndNothingBesideTheProgram) {
    const QString source = Copy("tone200.mp3");
    const TRawRun run = RunScript(
        QStringLiteral("set -e; cd '%1'; mkdir bin; ln \"$CLI\" bin/snipwave-cli 2>/dev/null || "
                       "cp \"$CLI\" bin/snipwave-cli\n"
                       "XDG_STATE_HOME=$PWD/quiet bin/snipwave-cli --help >/dev/null\n"
                       "XDG_STATE_HOME=$PWD/quiet bin/snipwave-cli --version >/dev/null\n"
                       "! XDG_STATE_HOME=$PWD/quiet bin/snipwave-cli info 2>/dev/null\n"
                       "XDG_STATE_HOME=$PWD/state bin/snipwave-cli info tone200.mp3 >/dev/null\n")
            .arg(Dir.path()));
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(Entries(Path("bin")), QStringList{"snipwave-cli"});
    EXPECT_FALSE(QFileInfo::exists(Path("quiet")));
    QFile log(Path("state/snipwave/Log/log1.txt"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(log.readAll());
    EXPECT_TRUE(text.contains(QRegularExpression("File Name: \\S*tone200\\.mp3")))
        << text.toStdString();
}

TEST_F(CliTest, CutOfTenSecondsHasTheSourceFormatFadesAndTheWindowsLogLines) {
    const QString source = Copy("tone200.mp3");
    const QByteArray sum = Checksum(source);
    const TRun run = RunCli({"cut", source, "--start", "10", "--end", "0:20"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    // Not a terminal: progress comes as percent lines, ending at 100.
    EXPECT_TRUE(run.Err.contains("100%\n")) << run.Err.toStdString();
    EXPECT_EQ(Checksum(source), sum);

    // The default output is the window's: the source's folder, "_new" before the extension.
    const QString output = Path("tone200_new.mp3");
    const TProbe out = Probe(output), src = Probe(source);
    ASSERT_TRUE(out.Ok);
    EXPECT_NEAR(out.Duration, 10.0, 0.03);
    EXPECT_EQ(out.Codec, "mp3");
    EXPECT_EQ(out.SampleRate, src.SampleRate);
    EXPECT_EQ(out.Channels, src.Channels);
    EXPECT_NEAR(out.BitRate, 128000, 2000);

    const TLevels head = Levels(output, 0, 0.05), tail = Levels(output, 9.95, 0.05);
    ASSERT_TRUE(head.Ok && tail.Ok);
    EXPECT_LT(head.PeakDb, -40) << "fade-in starts from silence";
    EXPECT_LT(tail.PeakDb, -40) << "fade-out ends in silence";
    // Between the fades the audio is the source's (volume 255 of 256), apart from what LAME's
    // re-encoding changes; the cut may start up to one MP3 frame after the asked time.
    const TLevels mid = Levels(output, 3.5, 3.0), midSrc = Levels(source, 13.5, 3.0);
    EXPECT_NEAR(mid.RmsDb, midSrc.RmsDb, 0.6);
    const TSamples outPcm = Decode(output), srcPcm = Decode(source);
    const TMatch match = BestMatch(outPcm, 5.0, srcPcm, 15.0, 0.25, srcPcm.Rate * 30 / 1000);
    EXPECT_LT(match.ResidualDb, -20);
    EXPECT_GE(match.Lag, 0);
    // Half gain 1.5 s into each fade (about -6 dB), against the unfaded middle.
    const double lag = double(match.Lag) / srcPcm.Rate;
    auto gain = [&](double t) { return outPcm.Rms(t, 0.02) / srcPcm.Rms(10 + t + lag, 0.02); };
    const double unity = gain(5.0);
    EXPECT_NEAR(unity, 1.0, 0.1);
    EXPECT_NEAR(gain(1.5) / unity, 0.5, 0.03);
    EXPECT_NEAR(gain(8.5) / unity, 0.5, 0.03);
    EXPECT_NEAR(gain(3.5) / unity, 1.0, 0.03);
    EXPECT_NEAR(gain(6.5) / unity, 1.0, 0.03);

    // The command line's log, in the state folder, holds the window's lines of this cut.
    QFile log(CliLogFolder() + "/log1.txt");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(log.readAll());
    for (const QString& line :
         {QStringLiteral("Begin Time:00:00:10"), QStringLiteral("End Time:00:00:20"),
          QStringLiteral("Output:") + output, QStringLiteral("Volume:255"),
          QStringLiteral("Completed to cut mp3 file."), QStringLiteral("Bit Rate: 128 kbps")})
        EXPECT_TRUE(text.contains(line)) << line.toStdString() << "\n" << text.toStdString();
}

TEST_F(CliTest, VolumeScalesTheWholeCut) {
    const QString source = Copy("tone200.mp3");
    for (const char* volume : {"100", "50", "0"}) {
        const TRun run = RunCli({"cut", source, "--start", "10", "--end", "20", "--volume", volume,
                                 "--output", Path(QString("v") + volume)});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    }
    // ".mp3" is added to a name without it, as in the window.
    const TLevels full = Levels(Path("v100.mp3"), 3.5, 3.0),
                  half = Levels(Path("v50.mp3"), 3.5, 3.0);
    ASSERT_TRUE(full.Ok && half.Ok);
    EXPECT_NEAR(half.RmsDb - full.RmsDb, -6.05, 0.2); // 127 against 255
    EXPECT_NEAR(Probe(Path("v0.mp3")).Duration, 10.0, 0.03);
    EXPECT_LT(Levels(Path("v0.mp3"), 0, 10).PeakDb, -90);
}

TEST_F(CliTest, RangeShorterThanBothFadesFadesInThenStraightOut) {
    const QString source = Copy("tone200.mp3");
    for (const char* end : {"14", "20"}) {
        const TRun run = RunCli(
            {"cut", source, "--start", "10", "--end", end, "--output", Path(QString("to") + end)});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    }
    const QString cut = Path("to14.mp3");
    EXPECT_NEAR(Probe(cut).Duration, 4.0, 0.03);
    EXPECT_LT(Levels(cut, 0, 0.05).PeakDb, -40);
    EXPECT_LT(Levels(cut, 3.95, 0.05).PeakDb, -40);
    // Against the 10-20 s cut, which starts at the same frame and is unfaded from 13 s on: the
    // same rise up to 3 s, then the fade-out formula from 3 s, at 0.5 s before the end 43/256.
    const TSamples shortCut = Decode(cut), longCut = Decode(Path("to20.mp3"));
    auto ratio = [&](double t) { return shortCut.Rms(t, 0.02) / longCut.Rms(t, 0.02); };
    EXPECT_NEAR(ratio(1.5), 1.0, 0.03);
    EXPECT_NEAR(ratio(2.9), 1.0, 0.03);
    EXPECT_NEAR(ratio(3.1), 0.3, 0.03);
    EXPECT_NEAR(ratio(3.5), 0.165, 0.02);
}

TEST_F(CliTest, ClampsTheRangeWithANoticeAndRefusesOnePastTheEnd) {
    const QString source = Copy("tone200.mp3");
    TRun run = RunCli(
        {"cut", source, "--start", "3:15", "--end", "1:00:00", "--output", Path("tail.mp3")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_NEAR(Probe(Path("tail.mp3")).Duration, 5.0, 0.03); // 195 s to the end at 200 s
    EXPECT_TRUE(run.Err.contains("Notice: the end 1:00:00 is past the end of the audio; the cut "
                                 "ends there, at 00:03:20.000."))
        << run.Err.toStdString();

    // A file shorter than a second is cut to its end like any other.
    const QString tiny = Copy("short.mp3", "tiny.mp3");
    run = RunCli({"cut", tiny, "--start", "0", "--end", "5"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_NEAR(Decode(Path("tiny_new.mp3")).Data.size() / 44100.0, 0.6, 0.001);

    const QStringList before = Entries(Dir.path());
    const QByteArray sum = Checksum(source);
    run = RunCli({"cut", source, "--start", "200", "--end", "3:25"});
    ExpectRefused(run, Dir.path(), before, source, sum,
                  "Nothing to cut: the range 200 - 3:25 is empty within the file's 00:03:20.000.");
}

TEST_F(CliTest, ExistingOutputNeedsForceAndTheSourceIsNeverTheOutput) {
    const QString source = Copy("tone200.mp3");
    const QByteArray sum = Checksum(source);
    QFile existing(Path("taken.mp3"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();
    const QStringList before = Entries(Dir.path());

    TRun run = RunCli({"cut", source, "--start", "10", "--end", "12", "--output", Path("taken")});
    ExpectRefused(run, Dir.path(), before, source, sum, "exists");
    EXPECT_EQ(Checksum(Path("taken.mp3")),
              QCryptographicHash::hash("keep me", QCryptographicHash::Sha256));
    run = RunCli(
        {"cut", source, "--start", "10", "--end", "12", "--output", Path("taken.mp3"), "--force"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_NEAR(Probe(Path("taken.mp3")).Duration, 2.0, 0.03);

    // The source itself, also through a link and with --force.
    ASSERT_TRUE(QFile::link(source, Path("link.mp3")));
    const QStringList now = Entries(Dir.path());
    for (const QString& target : {source, Path("link.mp3"), Path("./tone200")}) {
        run =
            RunCli({"cut", source, "--start", "10", "--end", "12", "--output", target, "--force"});
        ExpectRefused(run, Dir.path(), now, source, sum, "source file itself");
    }
}

TEST_F(CliTest, BrokenSourcesAndUnwritableFoldersFailClearlyLeavingNothing) {
    struct TCase {
        QString Source;
        QString Output; // "" = default
        const char* Message;
    };
    const QString folder = Dir.path();
    const QString notMp3 = Copy("notmp3.mp3"), truncated = Copy("truncated.mp3");
    // As root no folder permission stops us; /proc refuses new files to everybody.
    QString locked = "/proc/1";
    if (::geteuid() != 0) {
        locked = Path("locked");
        QDir().mkdir(locked);
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    const QString source = Copy("tone200.mp3");
    const TCase cases[] = {
        {Path("missing.mp3"), "", "Failed to load file, error message: "},
        {notMp3, "", "Failed to load file, error message: "},
        {truncated, "", "is empty within the file's 00:00:02.508"}, // its audio ends early
        {source, locked + "/out.mp3", "Failed to convert audio."},
    };
    for (const TCase& c : cases) {
        const QStringList before = Entries(folder);
        const QByteArray sum = Checksum(c.Source);
        QStringList args{"cut", c.Source, "--start", "10", "--end", "20"};
        if (!c.Output.isEmpty())
            args << "--output" << c.Output;
        const TRun run = RunCli(args);
        SCOPED_TRACE(c.Source.toStdString());
        ExpectRefused(run, folder, before, c.Source, sum, c.Message);
        if (!c.Output.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(c.Output));
        }
    }
}

TEST_F(CliTest, InterruptStopsTheCutAndKeepsAValidShorterFile) {
    const QString source = Copy("tone200.mp3");
    QProcess cli;
    cli.start(CliPath(), {"cut", source, "--start", "0", "--end", "200"});
    ASSERT_TRUE(cli.waitForStarted(10000));
    cli.setReadChannel(QProcess::StandardError); // progress comes on stderr
    // Wait until the cut is under way (a percent line above 0), then press Ctrl-C.
    static const QRegularExpression underWay(QStringLiteral("(^|\n)[1-9][0-9]*%\n"));
    QByteArray err;
    while (!underWay.match(QString::fromLatin1(err)).hasMatch()) {
        ASSERT_TRUE(cli.waitForReadyRead(60000)) << err.toStdString();
        err += cli.readAllStandardError();
    }
    ::kill(pid_t(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(60000));
    err += cli.readAllStandardError();
    ASSERT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 130) << err.toStdString();

    const TProbe out = Probe(Path("tone200_new.mp3"));
    ASSERT_TRUE(out.Ok);
    EXPECT_GT(out.Duration, 0.5);
    EXPECT_LT(out.Duration, 199.0);
    const TRun decode = RunTool(
        "ffmpeg", {"-v", "error", "-xerror", "-i", Path("tone200_new.mp3"), "-f", "null", "-"});
    EXPECT_EQ(decode.ExitCode, 0) << decode.Err.toStdString();
    EXPECT_TRUE(decode.Err.trimmed().isEmpty()) << decode.Err.toStdString();
}

} // namespace
