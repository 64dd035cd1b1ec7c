// snipwave-cli play end to end: what reaches the sound device (SDL's disk driver writes it to a
// file), the exit statuses and Ctrl-C.
#include "CliTestSupport.h"
#include "common/Mp3Variants.h"
#include "common/TestPaths.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>

using namespace clitest;

namespace {

class CliPlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
    }
    void TearDown() override { qputenv("SDL_AUDIODRIVER", "dummy"); }

    // Runs play with the disk driver; the first channel of what was played, or empty.
    std::vector<double> Play(const QStringList& args, int& exitCode, QString& err) {
        const QString capture = Dir.filePath(QStringLiteral("c%1.raw").arg(++Runs));
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", capture.toLocal8Bit());
        qputenv("SDL_DISKAUDIODELAY", "1");
        const TRun run = RunCli(QStringList{"play"} + args, 60000);
        exitCode = run.ExitCode;
        err = run.Err;
        QFile f(capture);
        std::vector<double> out;
        if (!f.open(QIODevice::ReadOnly))
            return out;
        const QByteArray bytes = f.readAll();
        const int16_t* s = reinterpret_cast<const int16_t*>(bytes.constData());
        for (qsizetype i = 0; i + 1 < bytes.size() / 2; i += 2)
            out.push_back(s[i]);
        return out;
    }

    QTemporaryDir Dir;
    int Runs = 0;
};

// Seconds between the first and the last sample above the noise floor, and their RMS.
void Audible(const std::vector<double>& x, double& seconds, double& rms) {
    size_t first = 0, last = 0;
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > 50) {
            if (first == 0)
                first = i;
            last = i;
        }
    double sum = 0;
    for (size_t i = first; i < last; ++i)
        sum += x[i] * x[i];
    seconds = double(last - first) / 44100.0;
    rms = last > first ? std::sqrt(sum / double(last - first)) : 0;
}

} // namespace

TEST_F(CliPlayTest, PlaysTheRangeAtTheWindowsVolumeAndEndsWithZero) {
    const QString source = testpaths::fixture("tone200.mp3");
    int code = -1;
    QString err;
    double full = 0, half = 0, seconds = 0;
    Audible(Play({source, "--start", "10", "--end", "12"}, code, err), seconds, full);
    EXPECT_EQ(code, 0) << err.toStdString();
    EXPECT_NEAR(seconds, 2.0, 0.3);
    Audible(Play({source, "--start", "0:10", "--end", "0:12", "--volume", "50"}, code, err),
            seconds, half);
    EXPECT_EQ(code, 0) << err.toStdString();
    EXPECT_NEAR(20 * std::log10(half / full), -6.02, 0.5);
    // Without a range: the whole file, to its end.
    Audible(Play({testpaths::fixture("short.mp3")}, code, err), seconds, full);
    EXPECT_EQ(code, 0) << err.toStdString();
    EXPECT_NEAR(seconds, 0.6, 0.1);
}

TEST_F(CliPlayTest, UsageErrorsAndFilesThatCannotPlay) {
    const QString source = testpaths::fixture("tone200.mp3");
    for (const QStringList& args :
         {QStringList{"play"}, QStringList{"play", source, "--start", "20", "--end", "10"},
          QStringList{"play", source, "--start", "20", "--end", "20"},
          QStringList{"play", source, "--volume", "101"}, QStringList{"play", source, "--end", "0"},
          QStringList{"play", source, "--start", "200.5"}, // the audio ends at 200.0x s
          QStringList{"play", testpaths::fixture("sweep60.mp3"), "--start", "100"},
          QStringList{"play", source, "--output", Dir.filePath("x.mp3")},
          QStringList{"play", source, "--force"}}) {
        const TRun run = RunCli(args);
        EXPECT_EQ(run.ExitCode, 2) << args.join(' ').toStdString();
        EXPECT_FALSE(run.Err.isEmpty());
    }
    int code = -1;
    QString err;
    Play({Dir.filePath("missing.mp3")}, code, err);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(err.contains("missing.mp3")) << err.toStdString();
    Play({testpaths::fixture("cover.png")}, code, err);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(err.contains("no stream to play")) << err.toStdString();

    // Valid headers over data no decoder takes: it ends, failing, within seconds; a file of a
    // few frames plays them and ends.
    const QString garbage = mp3variants::WithGarbagePayload(source, Dir.path());
    QElapsedTimer t;
    t.start();
    Play({garbage}, code, err);
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(err.contains("could be decoded")) << err.toStdString();
    for (int frames = 1; frames <= 4; ++frames) {
        // One frame is too little to be taken as MP3 at all: that fails with a message.
        Play({mp3variants::WithFirstFramesOnly(source, Dir.path(), frames)}, code, err);
        EXPECT_EQ(code, frames == 1 ? 1 : 0) << frames << ": " << err.toStdString();
    }
}

TEST_F(CliPlayTest, CtrlCStopsAtOnceWith130) {
    QProcess cli;
    cli.start(CliPath(), {"play", testpaths::fixture("tone200.mp3")}); // real time: 200 s
    ASSERT_TRUE(cli.waitForStarted(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(10000));
    EXPECT_LT(t.elapsed(), 1500);
    ASSERT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 130) << cli.readAllStandardError().toStdString();
}
