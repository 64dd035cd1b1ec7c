// snipwave-cli transcode: the ffmpeg tool's argument order, one task of the encoder, cut's exit
// codes and its guard for existing outputs.

#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
