// Input and output settings that only show in the files the engine opens and writes: the
// muxer's preload and loop count, the input-side discard, reduced decoding and looping, the
// frame-rate notice, and the warning for packets that hold several frames.

#include "EngineOptionFixture.h"
#include "EngineTestSupport.h"
#include "common/TestPaths.h"

#include "media/FFUtils.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace {

class InputOutputSettingsTest : public EngineOptionTest {
protected:
    void SetUp() override {
        EngineOptionTest::SetUp();
        ASSERT_TRUE(Dir.isValid());
    }
    void TearDown() override {
        Engine.FreeFiles();
        EngineOptionTest::TearDown();
    }
    QString Path(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }

    // Makes a file with the ffmpeg tool; args are the generator's and encoder's arguments.
    // Through RunTool: the engine's encoder thread must not meet a thread that QProcess spoiled
    // for ThreadSanitizer.
    QString Make(const char* name, const QStringList& args) {
        const enginetest::TCommandResult r =
            enginetest::RunTool(QStringLiteral("ffmpeg"),
                                QStringList{"-v", "error", "-y"} + args + QStringList{Path(name)});
        EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
        return Path(name);
    }
    int64_t MuxerOption(const char* name) {
        int64_t value = -12345;
        EXPECT_GE(ff::av_opt_get_int(Engine.FOutputFiles.back().Context->priv_data, name, 0,
                                     &value),
                  0);
        return value;
    }
    // Runs the engine's task to its end on this thread.
    void RunToEnd() {
        Engine.Start(false, 0);
        ASSERT_FALSE(Engine.Failed()) << Engine.ErrorText();
    }
    double DecodedSeconds(const QString& file) {
        QProcess p;
        p.start(QStringLiteral("ffprobe"),
                {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file});
        p.waitForFinished(30000);
        return p.readAllStandardOutput().trimmed().toDouble();
    }

    QTemporaryDir Dir;
};

TEST_F(InputOutputSettingsTest, MuxPreloadAndLoopCountReachTheMuxersThatHaveThem) {
    Engine.SetOption("muxpreload", "1.25");
    ASSERT_GT(Engine.OpenOutputFile(Path("a.mpg"), false), 0) << Engine.LastErrorText();
    EXPECT_EQ(MuxerOption("preload"), 1250000);
    Engine.FreeFiles();

    Engine.SetOption("loop_output", "3");
    ASSERT_GT(Engine.OpenOutputFile(Path("b.gif"), false), 0) << Engine.LastErrorText();
    EXPECT_EQ(MuxerOption("loop"), 3);
    Engine.FreeFiles();

    // Without the option a GIF plays once, as it always did; a format with neither option opens.
    Engine.InitOptions();
    ASSERT_GT(Engine.OpenOutputFile(Path("c.gif"), false), 0) << Engine.LastErrorText();
    EXPECT_EQ(MuxerOption("loop"), -1);
    Engine.FreeFiles();
    Engine.SetOption("loop_output", "2");
    EXPECT_GT(Engine.OpenOutputFile(Path("d.wav"), false), 0) << Engine.LastErrorText();
}

TEST_F(InputOutputSettingsTest, MuxPreloadShowsInTheWrittenProgramStream) {
    const QString src = Make("tone.wav", {"-f", "lavfi", "-i", "sine=d=1"});
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    Engine.SetOption("acodec", "mp2");
    Engine.SetOption("muxpreload", "2");
    ASSERT_GT(Engine.OpenOutputFile(Path("out.mpg"), false), 0) << Engine.LastErrorText();
    RunToEnd();
    QProcess p;
    p.start(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "stream=start_time", "-of",
                                        "csv=p=0", Path("out.mpg")});
    p.waitForFinished(30000);
    // The first audio is stamped after the preload (the default would put it near 0.5 s).
    EXPECT_NEAR(p.readAllStandardOutput().trimmed().toDouble(), 2.0, 0.1);
}

TEST_F(InputOutputSettingsTest, VideoDiscardLowresAndMotionThresholdApplyToTheInput) {
    const QString src = Make("v.mp4", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:d=1",
                                       "-c:v", "mpeg4"});
    Engine.SetOption("vdt", "32"); // AVDISCARD_NONKEY
    Engine.SetOption("lowres", "1");
    Engine.SetOption("me_threshold", "5");
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    EXPECT_EQ(Engine.FInputFiles.back().Context->streams[0]->discard, AVDISCARD_NONKEY);
    EXPECT_EQ(Engine.Options().FrameWidth, 32);
    EXPECT_EQ(Engine.Options().FrameHeight, 24);
    Engine.FreeFiles();
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    EXPECT_EQ(CountLogged("me_threshold has no equivalent in this version of the libraries and "
                          "is ignored"),
              1u);

    // Disabled video wins over the discard level.
    Engine.FreeFiles();
    Engine.SetOption("vn", "1");
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    EXPECT_EQ(Engine.FInputFiles.back().Context->streams[0]->discard, AVDISCARD_ALL);
}

TEST_F(InputOutputSettingsTest, DifferingFrameRatesAreReportedOnlyWhenTheyDiffer) {
    const QString steady = Make("steady.mp4", {"-f", "lavfi", "-i",
                                               "testsrc=size=64x48:rate=25:d=1", "-c:v", "mpeg4"});
    ASSERT_TRUE(Engine.OpenInputFile(steady)) << Engine.LastErrorText();
    for (const TLogLine& line : Lines)
        EXPECT_EQ(line.Text.find("Seems stream"), std::string::npos) << line.Text;

    // Frames twice as far apart after the first second: the average no longer is the base rate.
    const QString uneven =
        Make("uneven.mp4", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:d=2", "-vf",
                            "setpts='if(lt(N,25),N,N*2)/25/TB'", "-vsync", "passthrough", "-c:v",
                            "mpeg4"});
    ASSERT_TRUE(Engine.OpenInputFile(uneven)) << Engine.LastErrorText();
    const AVStream* st = Engine.FInputFiles.back().Context->streams[0];
    const std::string expected = QString::asprintf(
        "Seems stream 0 codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
        "%2.2f (%d/%d)",
        av_q2d(st->avg_frame_rate), st->avg_frame_rate.num, st->avg_frame_rate.den,
        av_q2d(st->r_frame_rate), st->r_frame_rate.num, st->r_frame_rate.den).toStdString();
    EXPECT_TRUE(Logged(llInfo, expected)) << expected;
}

TEST_F(InputOutputSettingsTest, LoopingInputPlaysAgainUntilTheRecordingTime) {
    const QString src = Make("one.wav", {"-f", "lavfi", "-i", "sine=d=1", "-ar", "44100"});
    Engine.SetOption("loop_input", "1");
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    Engine.SetOption("t", "2.5");
    ASSERT_GT(Engine.OpenOutputFile(Path("looped.wav"), false), 0) << Engine.LastErrorText();
    RunToEnd();
    EXPECT_NEAR(DecodedSeconds(Path("looped.wav")), 2.5, 0.05);
}

TEST_F(InputOutputSettingsTest, PacketsWithSeveralFramesAreWarnedAboutOncePerStream) {
    // The WAV demuxer hands over several ADPCM blocks per packet; each block is a frame.
    const QString src =
        Make("adpcm.wav", {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "adpcm_ima_wav"});
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    ASSERT_GT(Engine.OpenOutputFile(Path("pcm.wav"), false), 0) << Engine.LastErrorText();
    RunToEnd();
    EXPECT_EQ(CountLogged("Multiple frames in a packet from stream 0"), 1u);
}

TEST_F(InputOutputSettingsTest, PacketsWithSeveralFramesAreWarnedAboutEveryTimeWhenVerbose) {
    const QString src =
        Make("adpcm.wav", {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "adpcm_ima_wav"});
    Engine.SetOption("v", "2");
    ASSERT_TRUE(Engine.OpenInputFile(src)) << Engine.LastErrorText();
    ASSERT_GT(Engine.OpenOutputFile(Path("pcm.wav"), false), 0) << Engine.LastErrorText();
    RunToEnd();
    EXPECT_GT(CountLogged("Multiple frames in a packet from stream 0"), 1u);
}

TEST(ErrorTexts, LibraryCodesUseTheOneTableAndFileErrorsTheSystemsWords) {
    EXPECT_EQ(LibErrorText(AVERROR(ENOENT)), "No such file or directory");
    EXPECT_EQ(LibErrorText(AVERROR(EILSEQ)), "Unknown format");
    EXPECT_EQ(LibErrorText(AVERROR(EDOM)), "Number syntax expected in filename");
    EXPECT_EQ(LibErrorText(AVERROR(ENOSPC)), "Error number -28 occurred");
    // Our own file access: the table first, the system's words for the rest, tags fall back.
    EXPECT_EQ(FileErrorText(AVERROR(ENOENT)), "No such file or directory");
    EXPECT_EQ(FileErrorText(AVERROR(ENOSPC)), "No space left on device");
    EXPECT_EQ(FileErrorText(AVERROR(ELOOP)), "Too many levels of symbolic links");
    EXPECT_EQ(FileErrorText(AVERROR_BUG), LibErrorText(AVERROR_BUG));
    EXPECT_EQ(FileErrorText(-3999), "Error number -3999 occurred");
}

} // namespace
