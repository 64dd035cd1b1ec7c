// snipwave-cli transcode: the ffmpeg tool's argument order, one task of the encoder, cut's exit
// codes and its guard for existing outputs.

#include "CliTestSupport.h"
#include "common/TestPaths.h"

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
