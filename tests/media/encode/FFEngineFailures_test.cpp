// What the engine does with bad input, bad outputs and failing disks: a clear message, Failed
// set, no crash, the source untouched and nothing half-written left behind.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <thread>

using namespace enginetest;

namespace {

class EngineFailureTest : public testing::Test {
protected:
    void SetUp() override { LoadEngineLibraries(); }
    QString Out(const QString& name) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

TEST_F(EngineFailureTest, MissingInputNamesTheFile) {
    TTestEngine engine;
    const QString name = Out("absent.mp3");
    EXPECT_FALSE(engine.OpenInputFile(name));
    EXPECT_EQ(engine.LastErrorText(), name.toStdString() + ": No such file or directory");
    EXPECT_EQ(engine.InputFileCount(), 0);
}

TEST_F(EngineFailureTest, UnwritableFolderFailsAtCreation) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    const QString name = Out("no/such/folder/out.mp3");
    EXPECT_EQ(engine.OpenOutputFile(name, false), -1);
    EXPECT_EQ(engine.LastErrorText(), name.toStdString() + ": No such file or directory");
    EXPECT_EQ(engine.OutputFileCount(), 0);
}

TEST_F(EngineFailureTest, OutputNamingTheInputIsRefusedAndTheSourceKept) {
    const QString src = Out("source.mp3");
    ASSERT_TRUE(QFile::copy(testpaths::fixture("short.mp3"), src));
    ASSERT_TRUE(QFile::link(src, Out("link.mp3")));
    const QByteArray before = ReadAll(src);
    for (const QString& name : {src, Out("link.mp3"), Out("./source.mp3")}) {
        TTestEngine engine;
        ASSERT_TRUE(engine.OpenInputFile(src));
        EXPECT_EQ(engine.OpenOutputFile(name, false), -1) << name.toStdString();
        EXPECT_NE(engine.LastErrorText().find("same file as the input"), std::string::npos);
    }
    EXPECT_EQ(ReadAll(src), before);
}

TEST_F(EngineFailureTest, StreamCopyWithVolumeFailsBeforeWritingAnything) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    engine.S().AudioStreamCopy = true;
    engine.S().AudioVolume = 200;
    ASSERT_GT(engine.OpenOutputFile(Out("copy.mp3"), false), 0) << engine.LastErrorText();
    int terminated = 0;
    engine.OnTerminateCallback = [&](TCustomFFmpeg*) { ++terminated; };
    engine.Start(false, 0);
    EXPECT_TRUE(engine.Failed());
    EXPECT_FALSE(engine.Finished());
    EXPECT_EQ(engine.ErrorText(),
              "-acodec copy and -vol are incompatible (frames are not decoded)");
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(QFileInfo::exists(Out("copy.mp3")));
}

TEST_F(EngineFailureTest, StreamCopyAtUnityVolumeCopiesTheRange) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    engine.S().AudioStreamCopy = true;
    engine.S().StartTime = 10000000;
    engine.S().RecordingTime = 5000000;
    ASSERT_GT(engine.OpenOutputFile(Out("copied.mp3"), false), 0) << engine.LastErrorText();
    engine.Start(false, 0);
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_NEAR(DecodedSeconds(Out("copied.mp3")), 5.0, 0.1);
}

TEST_F(EngineFailureTest, NothingWrittenLeavesNoFile) {
    TTestEngine engine;
    ASSERT_TRUE(
        SetUpCut(engine, testpaths::fixture("short.mp3"), Out("beyond.mp3"), 30000000, 5000000));
    EXPECT_FALSE(QFileInfo::exists(Out("beyond.mp3"))); // a temporary until the run ends
    engine.Start(false, 0);
    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_FALSE(QFileInfo::exists(Out("beyond.mp3")));
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST_F(EngineFailureTest, StartWithoutOutputOrInputReportsIt) {
    TTestEngine engine;
    int terminated = 0;
    engine.OnTerminateCallback = [&](TCustomFFmpeg*) { ++terminated; };
    EXPECT_EQ(engine.Start(true, 0), nullptr);
    EXPECT_TRUE(engine.Failed());
    EXPECT_EQ(engine.ErrorText(), "At least one output file must be specified");
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(engine.Terminated());

    TTestEngine noInput;
    ASSERT_GT(noInput.OpenOutputFile(Out("x.wav"), false), 0) << noInput.LastErrorText();
    EXPECT_EQ(noInput.Start(false, 0), nullptr);
    EXPECT_EQ(noInput.ErrorText(), "At least one input file must be specified");
    EXPECT_FALSE(QFileInfo::exists(Out("x.wav")));
}

TEST_F(EngineFailureTest, TerminateOfAnEngineThatNeverRanReportsOnAnotherThread) {
    TTestEngine engine;
    std::atomic<int> terminated{0};
    std::thread::id reporter;
    engine.OnTerminateCallback = [&](TCustomFFmpeg*) {
        reporter = std::this_thread::get_id();
        ++terminated;
    };
    engine.Terminate(true);
    EXPECT_EQ(terminated, 1);
    EXPECT_NE(reporter, std::this_thread::get_id());
    EXPECT_TRUE(engine.Terminated());
    engine.Terminate(true); // once only
    EXPECT_EQ(terminated, 1);
}

TEST_F(EngineFailureTest, FullDiskEndsWithFailed) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    engine.S().FileFormat = "mp3"; // the name has no extension to guess from
    engine.S().AudioCodecName = "libmp3lame";
    ASSERT_GT(engine.OpenOutputFile("/dev/full", false), 0) << engine.LastErrorText();
    engine.Start(false, 0);
    EXPECT_TRUE(engine.Failed());
    EXPECT_FALSE(engine.Finished());
    EXPECT_NE(engine.ErrorText().find("No space left on device"), std::string::npos)
        << engine.ErrorText();
    EXPECT_TRUE(QFileInfo::exists("/dev/full"));
}

// A write that fails halfway (a file size limit stands in for a disk filling up): the partial
// output is removed.
TEST_F(EngineFailureTest, WriteFailureHalfwayLeavesNoPartialFile) {
    TTestEngine engine;
    ASSERT_TRUE(SetUpCut(engine, testpaths::fixture("tone200.mp3"), Out("partial.mp3"), 0,
                         ffopt::NoTimeLimit));
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    engine.Start(false, 0);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(engine.Failed());
    EXPECT_FALSE(engine.ErrorText().empty());
    EXPECT_FALSE(QFileInfo::exists(Out("partial.mp3")));
}

TEST_F(EngineFailureTest, JoinConcatenatesInputsIntoOneOutput) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone10.wav")));
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone10.wav")));
    ASSERT_GT(engine.OpenOutputFile(Out("joined.wav"), true), 0) << engine.LastErrorText();
    EXPECT_NEAR(double(engine.S().TotalDuration), 20000000.0, 1000.0);
    EXPECT_EQ(engine.OpenOutputFile(Out("second.wav"), false), -1);
    EXPECT_EQ(engine.LastErrorText(), "Cannot join more than one output file.");
    engine.Start(false, 0);
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_NEAR(DecodedSeconds(Out("joined.wav")), 20.0, 0.01);
}

} // namespace

namespace {

TEST_F(EngineFailureTest, DamagedInputsFailCleanlyOrCutWhatIsThere) {
    TTestEngine garbage;
    const QString name = testpaths::fixture("notmp3.mp3");
    EXPECT_FALSE(garbage.OpenInputFile(name));
    EXPECT_EQ(garbage.LastErrorText().rfind(name.toStdString() + ": ", 0), 0u)
        << garbage.LastErrorText();

    TTestEngine truncated;
    ASSERT_TRUE(SetUpCut(truncated, testpaths::fixture("truncated.mp3"), Out("trunc.mp3"), 0,
                         ffopt::NoTimeLimit));
    truncated.Start(false, 0);
    EXPECT_TRUE(truncated.Finished());
    EXPECT_FALSE(truncated.Failed()) << truncated.ErrorText();
    EXPECT_TRUE(DecodesCleanly(Out("trunc.mp3")));
    EXPECT_NEAR(DecodedSeconds(Out("trunc.mp3")), 40960.0 * 8 / 128000, 0.2);
}

} // namespace

namespace {

TEST_F(EngineFailureTest, CopiedPacketsPassTheStreamsBitstreamFilters) {
    TTestEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(testpaths::fixture("tone200.mp3")));
    engine.SetOption("acodec", "copy");
    engine.SetOption("absf", "null");
    engine.S().RecordingTime = 3000000;
    ASSERT_GT(engine.OpenOutputFile(Out("filtered.mp3"), false), 0) << engine.LastErrorText();
    engine.Start(false, 0);
    EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_NEAR(DecodedSeconds(Out("filtered.mp3")), 3.0, 0.1);

    // A filter that cannot take the stream ends the run when errors are to end it.
    TTestEngine strict;
    ASSERT_TRUE(strict.OpenInputFile(testpaths::fixture("tone200.mp3")));
    strict.SetOption("acodec", "copy");
    strict.SetOption("absf", "h264_mp4toannexb");
    strict.SetOption("xerror", "");
    ASSERT_GT(strict.OpenOutputFile(Out("refused.mp3"), false), 0) << strict.LastErrorText();
    strict.Start(false, 0);
    EXPECT_TRUE(strict.Failed());
    EXPECT_EQ(strict.ErrorText().rfind("h264_mp4toannexb failed for stream 0, codec copy: ", 0), 0u)
        << strict.ErrorText();
    EXPECT_FALSE(QFileInfo::exists(Out("refused.mp3")));
}

} // namespace
