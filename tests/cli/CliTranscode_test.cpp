// snipwave-cli transcode: the ffmpeg tool's argument order, one task of the encoder, cut's exit
// codes and its guard for existing outputs.

#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace clitest;

TEST(SnipwaveCliTranscode, WritesTheVideoAndGuardsExistingFiles) {
    QTemporaryDir dir;
    const QString out = dir.filePath("small.avi");
    const QString src = testpaths::fixture("testsrc10.avi");
    TRun run = RunCli({"transcode", "-i", src, "-vcodec", "mpeg4", "-s", "320x240", out});
    ASSERT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
    const TRun probe =
        RunTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,width", "-of", "csv=p=0", out});
    EXPECT_EQ(probe.Out.trimmed(), "mpeg4,320");

    const qint64 size = QFileInfo(out).size();
    run = RunCli({"transcode", "-i", src, "-vcodec", "mpeg4", out});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("Use --force to replace it.")) << qPrintable(run.Err);
    EXPECT_EQ(QFileInfo(out).size(), size);
    run = RunCli({"transcode", "-i", src, "-vcodec", "mpeg4", src, "--force"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("source file itself")) << qPrintable(run.Err);
    // An option the engine rejects comes back with the engine's own message.
    run = RunCli({"transcode", "-i", src, "-vcodec", "nosuchcodec", dir.filePath("x.avi")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("nosuchcodec")) << qPrintable(run.Err);
    // Usage errors: no output, an option without its value.
    EXPECT_EQ(RunCli({"transcode", "-i", src}).ExitCode, 2);
    EXPECT_EQ(RunCli({"transcode", "-i", src, out, "-vcodec"}).ExitCode, 2);
}

// A start past the end of the input leaves nothing to encode: the engine keeps no file, so the
// command must not name one as its output, nor pass a file that was there before for it.
TEST(SnipwaveCliTranscode, NothingEncodedIsAFailureAndKeepsTheOldFile) {
    QTemporaryDir dir;
    const QString out = dir.filePath("late.mp3");
    const QString src = testpaths::fixture("short.mp3");
    TRun run = RunCli({"transcode", "-i", src, "-ss", "30", out});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("Nothing was encoded into")) << qPrintable(run.Err);
    EXPECT_FALSE(run.Out.contains("Output:")) << qPrintable(run.Out);
    EXPECT_FALSE(QFileInfo::exists(out));

    ASSERT_TRUE(QFile::copy(src, out));
    run = RunCli({"transcode", "-i", src, "-ss", "30", "-y", out});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("The file there was kept.")) << qPrintable(run.Err);
    EXPECT_EQ(QFileInfo(out).size(), QFileInfo(src).size());

    run = RunCli({"transcode", "-i", src, "-ss", "0.1", "-y", out});
    EXPECT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
    EXPECT_TRUE(run.Out.contains("Output: " + out)) << qPrintable(run.Out);
    QFile written(out), source(src);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
    EXPECT_NE(written.readAll(), source.readAll());
}

namespace {

int FramesOf(const QString& file) {
    const TRun r =
        RunTool("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", file});
    bool ok = false;
    const int n = r.Out.trimmed().toInt(&ok);
    return ok ? n : -1;
}

} // namespace

// -vsync by number and by name gives the frame counts of the installed ffmpeg tool on a
// variable-rate input, for a format whose default is variable rate (AVI) and one whose default
// is constant rate (MP4).
TEST(SnipwaveCliTranscode, VideoSyncGivesTheFfmpegToolsFrameCounts) {
    QTemporaryDir dir;
    const QString src = testpaths::fixture("vfr6.mkv");
    for (const QString ext : {"avi", "mp4"}) {
        for (const QString sync : {"", "0", "1", "2", "vfr", "cfr", "passthrough"}) {
            SCOPED_TRACE((ext + " vsync " + sync).toStdString());
            const QStringList option = sync.isEmpty() ? QStringList{} : QStringList{"-vsync", sync};
            const QString ours = dir.filePath("ours-" + sync + "." + ext);
            const QString theirs = dir.filePath("theirs-" + sync + "." + ext);
            const TRun run = RunCli(QStringList{"transcode", "-i", src} + option +
                                    QStringList{"-vcodec", "mpeg4", ours});
            ASSERT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
            const TRun ref = RunTool("ffmpeg", QStringList{"-v", "error", "-i", src} + option +
                                                   QStringList{"-c:v", "mpeg4", "-y", theirs});
            ASSERT_EQ(ref.ExitCode, 0) << qPrintable(ref.Err);
            EXPECT_EQ(FramesOf(ours), FramesOf(theirs));
        }
    }
}

// Options the command line used to lose or refuse: -vlang reaches the file, -v takes a level's
// name, the switches that take no value leave the next argument (here the output's name) alone,
// and --help prints the help.
TEST(SnipwaveCliTranscode, OptionsAreKeptAndSwitchesTakeNoValue) {
    QTemporaryDir dir;
    const QString src = testpaths::fixture("vfr6.mkv");
    const QString out = dir.filePath("lang.mkv");
    TRun run = RunCli({"transcode", "-v", "debug", "-i", src, "-t", "1", "-vcodec", "mpeg4",
                       "-vlang", "fre", "-vstats", out});
    ASSERT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
    const TRun lang = RunTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                          "stream_tags=language", "-of", "csv=p=0", out});
    EXPECT_EQ(lang.Out.trimmed(), "fre");

    const QString two = dir.filePath("two.avi");
    run = RunCli({"transcode", "-i", src, "-t", "1", "-vcodec", "mpeg4", "-newvideo", two});
    ASSERT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
    const TRun streams = RunTool(
        "ffprobe", {"-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", two});
    EXPECT_EQ(streams.Out.trimmed().split('\n').size(), 2) << qPrintable(streams.Out);

    run = RunCli({"transcode", "-i", src, "-vsync", "sometimes", dir.filePath("x.avi")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("sometimes")) << qPrintable(run.Err);

    for (const QStringList& args :
         {QStringList{"transcode", "--help"}, QStringList{"transcode", "-i", src, "-h"}}) {
        run = RunCli(args);
        EXPECT_EQ(run.ExitCode, 0) << qPrintable(run.Err);
        EXPECT_TRUE(run.Out.contains("snipwave-cli transcode [INPUT OPTIONS]"));
    }
}

// Ctrl-C during a transcode keeps a valid, shorter file and says so, as cut and split do.
TEST(SnipwaveCliTranscode, InterruptSaysWhatWasKept) {
    QTemporaryDir dir;
    const QString out = dir.filePath("stopped.avi");
    QProcess cli;
    cli.start(CliPath(), {"transcode", "-re", "-i", testpaths::fixture("longgop.mp4"), "-vcodec",
                          "mpeg4", out});
    ASSERT_TRUE(cli.waitForStarted(10000));
    cli.setReadChannel(QProcess::StandardError); // progress comes on stderr
    static const QRegularExpression underWay(QStringLiteral("(^|\n)[1-9][0-9]*%\n"));
    QByteArray err;
    while (!underWay.match(QString::fromLatin1(err)).hasMatch()) {
        ASSERT_TRUE(cli.waitForReadyRead(60000)) << err.toStdString();
        err += cli.readAllStandardError();
    }
    ::kill(pid_t(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(60000));
    err += cli.readAllStandardError();
    EXPECT_EQ(cli.exitCode(), 130) << err.toStdString();
    EXPECT_TRUE(err.contains(("Stopped; " + out + " holds the part transcoded so far.").toUtf8()))
        << err.toStdString();
    const int frames = FramesOf(out);
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 800);
}
