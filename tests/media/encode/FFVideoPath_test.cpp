// The video path: frame-rate sync arithmetic, rate-control overrides, and whole runs checked with
// ffprobe and ffmpeg — size, codec and frame count, filters, crop, stream copy, duplicates over a
// gap, a frame size that changes mid-stream, the hook protocol, previews and two-pass encoding.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/encode/video/FFVideoEncoderSetup.h"
#include "media/encode/video/FFRgbBitmap.h"
#include "media/encode/video/FFVideoSync.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace enginetest;

TEST(VideoSync, ConstantRateFillsGapsAndDropsEarlyPictures) {
    int64_t pos = 3;
    // Frames 3 and 4 missing, picture 5 arrives: it fills slots 3, 4 and 5.
    TVideoSyncResult r = VideoSync(1, false, 5.0, pos);
    EXPECT_EQ(r.Frames, 3);
    EXPECT_EQ(r.Dups, 2);
    EXPECT_FALSE(r.Drop);
    // Jitter within a frame is left alone.
    pos = 10;
    r = VideoSync(1, false, 10.9, pos);
    EXPECT_EQ(r.Frames, 1);
    EXPECT_EQ(r.Dups, 0);
    // A picture more than 1.1 frames behind the clock is dropped.
    r = VideoSync(1, false, 8.8, pos);
    EXPECT_EQ(r.Frames, 0);
    EXPECT_TRUE(r.Drop);
    // By the format (-1) with a variable-rate format: the clock jumps instead of duplicating.
    pos = 3;
    r = VideoSync(-1, true, 7.0, pos);
    EXPECT_EQ(r.Frames, 1);
    EXPECT_EQ(pos, 7);
    r = VideoSync(2, false, 6.3, pos);
    EXPECT_TRUE(r.Drop);
    // Pass-through takes the picture's own time.
    r = VideoSync(0, false, 42.4, pos);
    EXPECT_EQ(pos, 42);
    EXPECT_EQ(r.Frames, 1);
}

TEST(VideoEncoderSetup, RateControlOverridesNeedThreeNumbersEach) {
    const std::vector<TRcOverrideEntry> e = ParseRcOverride("0,10,2/20,30,-50");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].StartFrame, 20);
    EXPECT_EQ(e[1].Q, -50);
    EXPECT_THROW(ParseRcOverride("0,10,2/20,30"), std::exception);
    try {
        ParseRcOverride("5");
    } catch (const std::exception& err) {
        EXPECT_STREQ(err.what(), "error parsing rc_override");
    }
}

// The hook's way back: a bitmap the handler replaced with one of its own is still converted into
// the picture, and a copy of the bitmap held elsewhere (the preview's) is never written over by the
// next picture.
TEST(RgbConverter, ReplacedAndSharedBitmapsConvertWithoutTouchingOtherHolders) {
    LoadEngineLibraries();
    AVFramePtr picture = MakeFrame();
    picture->width = 640;
    picture->height = 480;
    picture->format = AV_PIX_FMT_YUV420P;
    ASSERT_GE(ff::av_frame_get_buffer(picture.get(), 0), 0);
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        TFFRgbConverter converter(depth);
        QImage bitmap;
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        QImage own(640, 480, converter.ImageFormat());
        own.fill(QColor(255, 0, 0));
        bitmap = own; // the handler's image, laid out by Qt
        ASSERT_TRUE(converter.FromBitmap(bitmap, picture.get()));
        const QImage held = bitmap; // someone keeps the picture as it was
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        EXPECT_GT(bitmap.pixelColor(320, 240).red(), 200);
        EXPECT_LT(bitmap.pixelColor(320, 240).green(), 60);
        bitmap.fill(QColor(0, 0, 255));
        ASSERT_TRUE(converter.FromBitmap(bitmap, picture.get()));
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        EXPECT_GT(bitmap.pixelColor(10, 10).blue(), 200);
        EXPECT_EQ(held.pixelColor(10, 10), QColor(255, 0, 0));
    }
}

namespace {

struct TStreamFacts {
    QString Codec;
    int Width = 0, Height = 0, Frames = 0;
    double Duration = 0;
};

TStreamFacts ProbeVideo(const QString& file) {
    const TCommandResult r = RunTool(
        "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                    "stream=codec_name,width,height,nb_read_frames:format=duration", "-of",
                    "default=noprint_wrappers=1", file});
    TStreamFacts f;
    for (const QByteArray& line : r.Out.split('\n')) {
        const QList<QByteArray> kv = line.split('=');
        if (kv.size() != 2)
            continue;
        if (kv[0] == "codec_name")
            f.Codec = QString::fromLatin1(kv[1]);
        else if (kv[0] == "width")
            f.Width = kv[1].toInt();
        else if (kv[0] == "height")
            f.Height = kv[1].toInt();
        else if (kv[0] == "nb_read_frames")
            f.Frames = kv[1].toInt();
        else if (kv[0] == "duration")
            f.Duration = kv[1].toDouble();
    }
    return f;
}

// The RGB of the pixel at (x, y) of the first frames pictures, decoded by ffmpeg; 3 bytes each.
QByteArray PixelAt(const QString& file, int x, int y, int frames = 1) {
    // 2×2: a single pixel cannot be cut out of 4:2:0 chroma.
    const TCommandResult r =
        RunTool("ffmpeg", {"-v", "error", "-i", file, "-frames:v", QString::number(frames), "-vf",
                           QString("crop=2:2:%1:%2").arg(x).arg(y), "-f", "rawvideo", "-pix_fmt",
                           "rgb24", "-"});
    QByteArray pixels;
    for (qsizetype at = 0; at + 12 <= r.Out.size(); at += 12)
        pixels += r.Out.mid(at, 3);
    return pixels;
}

bool Reddish(const QByteArray& rgb) {
    return rgb.size() == 3 && uint8_t(rgb[0]) > 180 && uint8_t(rgb[2]) < 80;
}
bool Bluish(const QByteArray& rgb) {
    return rgb.size() == 3 && uint8_t(rgb[2]) > 180 && uint8_t(rgb[0]) < 80;
}

class VideoPathTest : public testing::Test {
protected:
    void SetUp() override {
        LoadEngineLibraries();
        ASSERT_TRUE(Dir.isValid());
        ActiveLogger()->SetTriggerEventInMainThread(false);
        ActiveLogger()->SetOnLog([this](QObject*, uint32_t, TLogLevel, const QString& msg) {
            std::lock_guard<std::mutex> lock(LinesLock);
            Lines.push_back(msg.toStdString());
        });
    }
    void TearDown() override { ActiveLogger()->SetOnLog(nullptr); }

    QString Out(const QString& name) const { return Dir.filePath(name); }
    bool LoggedContaining(const std::string& text) {
        std::lock_guard<std::mutex> lock(LinesLock);
        for (const std::string& l : Lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    // An engine with the input open and the options (name, value) set for the output.
    bool Prepare(TTestEngine& engine, const QString& input, const QString& output,
                 const std::vector<std::pair<std::string, std::string>>& options) {
        if (!engine.OpenInputFile(input))
            return false;
        for (const auto& [name, value] : options)
            engine.SetOption(name, value);
        return engine.OpenOutputFile(output, false) > 0;
    }

    QTemporaryDir Dir;
    std::mutex LinesLock; // guards Lines: the log may arrive on the run's thread
    std::vector<std::string> Lines;
};

} // namespace

TEST_F(VideoPathTest, Mpeg4InAviAtAQuarterOfTheSize) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), Out("small.avi"),
                        {{"vcodec", "mpeg4"}, {"s", "320x240"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    const TStreamFacts f = ProbeVideo(Out("small.avi"));
    EXPECT_EQ(f.Codec, "mpeg4");
    EXPECT_EQ(f.Width, 320);
    EXPECT_EQ(f.Height, 240);
    EXPECT_EQ(f.Frames, 250);
    EXPECT_NEAR(f.Duration, 10.0, 0.05);
    EXPECT_TRUE(LoggedContaining("Stream #0.0 -> #0.0 (video)"));
}

TEST_F(VideoPathTest, H264ThroughLibx264InMp4KeepsEveryFrame) {
    const AVCodec* x264 = ff::avcodec_find_encoder_by_name("libx264");
    if (!x264)
        GTEST_SKIP() << "this FFmpeg has no libx264";
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), Out("h264.mp4"),
                        {{"vcodec", "libx264"}, {"preset", "ultrafast"}, {"an", "1"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    const TStreamFacts f = ProbeVideo(Out("h264.mp4"));
    EXPECT_EQ(f.Codec, "h264");
    EXPECT_EQ(f.Frames, 250);
    EXPECT_NEAR(f.Duration, 10.0, 0.05);
}

// The built-in presets carry options of an older x264 wrapper; what they ask for still reaches
// the encoder: "baseline" switches off CABAC, B-frames, weighted prediction and the 8x8
// transform, which makes the stream Constrained Baseline.
TEST_F(VideoPathTest, H264WithABuiltinPreset) {
    if (!ff::avcodec_find_encoder_by_name("libx264"))
        GTEST_SKIP() << "this FFmpeg has no libx264";
    for (const char* preset : {"baseline", "fast"}) {
        SCOPED_TRACE(preset);
        TTestEngine engine;
        const QString out = Out(QString("preset-%1.mp4").arg(preset));
        ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), out,
                            {{"vcodec", "libx264"}, {"vpre", preset}, {"an", "1"}, {"t", "2"}}))
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        const TStreamFacts f = ProbeVideo(out);
        EXPECT_EQ(f.Codec, "h264");
        EXPECT_EQ(f.Frames, 50);
        const TCommandResult profile =
            RunTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                "stream=profile", "-of", "default=nw=1:nk=1", out});
        if (QByteArray(preset) == "baseline")
            EXPECT_EQ(profile.Out.trimmed(), "Constrained Baseline");
        else
            EXPECT_EQ(profile.Out.trimmed(), "High");
    }
}

TEST_F(VideoPathTest, FiltersAndCropChangeThePicture) {
    {
        SCOPED_TRACE("hflip");
        TTestEngine engine;
        ASSERT_TRUE(Prepare(engine, testpaths::fixture("halves.avi"), Out("flip.avi"),
                            {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"vf", "hflip"}}))
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        EXPECT_TRUE(Bluish(PixelAt(Out("flip.avi"), 20, 60)));
        EXPECT_TRUE(Reddish(PixelAt(Out("flip.avi"), 300, 60)));
    }
    {
        SCOPED_TRACE("crop the blue half away");
        TTestEngine engine;
        ASSERT_TRUE(Prepare(engine, testpaths::fixture("halves.avi"), Out("crop.avi"),
                            {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"cropright", "160"},
                             {"croptop", "20"}}))
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        const TStreamFacts f = ProbeVideo(Out("crop.avi"));
        EXPECT_EQ(f.Width, 160);
        EXPECT_EQ(f.Height, 100);
        EXPECT_TRUE(Reddish(PixelAt(Out("crop.avi"), 150, 50)));
    }
}

TEST_F(VideoPathTest, StreamCopyOfVideoAndWhatItRefuses) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), Out("copy.avi"),
                        {{"vcodec", "copy"}, {"an", "1"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    const TStreamFacts f = ProbeVideo(Out("copy.avi"));
    EXPECT_EQ(f.Codec, "mpeg4");
    EXPECT_EQ(f.Frames, 250);

    TTestEngine hooked;
    ASSERT_TRUE(Prepare(hooked, testpaths::fixture("testsrc10.avi"), Out("copyhook.avi"),
                        {{"vcodec", "copy"}, {"an", "1"}}));
    hooked.OnVideoOutputHookCallback = [](TCustomFFmpeg*, QImage&, bool&, bool&, int64_t, int) {};
    hooked.Start(false, 0);
    EXPECT_TRUE(hooked.Failed());
    EXPECT_EQ(hooked.ErrorText(),
              "-vcodec copy and VideoHook are incompatible (frames are not decoded)");

    TTestEngine previewed;
    ASSERT_TRUE(Prepare(previewed, testpaths::fixture("testsrc10.avi"), Out("copyprev.avi"),
                        {{"vcodec", "copy"}, {"an", "1"}}));
    previewed.OnPreviewBitmapCallback = [](TCustomFFmpeg*, QImage&, int64_t, int) {};
    previewed.SetPreviewFlags(PreviewToBitmap);
    previewed.Start(false, 0);
    EXPECT_EQ(previewed.ErrorText(),
              "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
}

TEST_F(VideoPathTest, ConstantRateFillsAGapOfTwoFramesWithTwoDuplicates) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("gap2.mkv"), Out("filled.avi"),
                        {{"vcodec", "mpeg4"}, {"vsync", "1"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    // The final report line is logged when no progress callback is assigned.
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(LinesLock);
        for (const std::string& l : Lines)
            if (l.rfind("frame=", 0) == 0 && l.find("L") != std::string::npos)
                found = QString::fromStdString(l).endsWith(" dup=2 drop=0");
    }
    EXPECT_TRUE(found) << [&] {
        std::string all;
        for (const std::string& l : Lines)
            all += l + "\n";
        return all;
    }();
    EXPECT_EQ(ProbeVideo(Out("filled.avi")).Frames, 50);
}

TEST_F(VideoPathTest, AFrameSizeChangeMidStreamIsLoggedAndScaled) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("sizechange.ts"), Out("resized.avi"),
                        {{"vcodec", "mpeg4"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_TRUE(LoggedContaining("Input Stream #0.0 frame size changed to 160x120, yuv420p"));
    const TStreamFacts f = ProbeVideo(Out("resized.avi"));
    EXPECT_EQ(f.Width, 320);
    EXPECT_GE(f.Frames, 48);
}

TEST_F(VideoPathTest, HookProtocol) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("halves.avi"), Out("hooked.avi"),
                        {{"vcodec", "mpeg4"}, {"qscale", "2"}}))
        << engine.LastErrorText();
    int inputCalls = 0, outputCalls = 0;
    // The input hook asks for no more pictures: called once.
    engine.OnVideoInputHookCallback = [&](TCustomFFmpeg*, QImage& bitmap, bool& stop, bool&,
                                          int64_t, int) {
        ++inputCalls;
        EXPECT_EQ(bitmap.format(), QImage::Format_RGB888);
        stop = true;
    };
    // The output hook paints every picture green but says update false from the second picture
    // on, and throws on the third: only the first picture is changed, and the run goes on.
    engine.OnVideoOutputHookCallback = [&](TCustomFFmpeg*, QImage& bitmap, bool&, bool& update,
                                           int64_t, int frame) {
        ++outputCalls;
        bitmap.fill(QColor(0, 255, 0));
        if (frame == 3)
            throw std::runtime_error("boom");
        update = frame == 1;
    };
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_EQ(inputCalls, 1);
    EXPECT_EQ(outputCalls, 25);
    EXPECT_TRUE(LoggedContaining("Error occurs VideoHook event: boom"));
    const QByteArray pixels = PixelAt(Out("hooked.avi"), 20, 60, 3);
    ASSERT_EQ(pixels.size(), 9);
    EXPECT_GT(uint8_t(pixels[1]), 180); // green
    EXPECT_TRUE(Reddish(pixels.mid(3, 3)));
    EXPECT_TRUE(Reddish(pixels.mid(6, 3)));
}

TEST_F(VideoPathTest, PreviewsComeAtMostEveryHundredMilliseconds) {
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), Out("prev.avi"),
                        {{"vcodec", "mpeg4"}, {"an", "1"}, {"re", "1"}, {"t", "1.5"}}))
        << engine.LastErrorText();
    std::vector<int64_t> times;
    engine.SetPreviewBitDepth(32);
    engine.SetPreviewFlags(PreviewToBitmap);
    engine.OnPreviewBitmapCallback = [&](TCustomFFmpeg*, QImage& bitmap, int64_t, int) {
        EXPECT_EQ(bitmap.format(), QImage::Format_RGB32);
        times.push_back(ff::av_gettime_relative());
    };
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    ASSERT_GE(times.size(), 5u); // 1.5 s in real time
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i] - times[i - 1], 100000);
}

TEST_F(VideoPathTest, TwoPassWritesItsLogAndKeepsTheBitRate) {
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Dir.path()));
    struct TRestore {
        QString Dir;
        ~TRestore() { QDir::setCurrent(Dir); }
    } restore{old};
    auto run = [&](const QString& out, int pass) {
        TTestEngine engine;
        std::vector<std::pair<std::string, std::string>> opts = {
            {"vcodec", "mpeg4"}, {"an", "1"}, {"b", "300000"}, {"t", "4"}};
        if (pass)
            opts.emplace_back("pass", std::to_string(pass));
        EXPECT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), out, opts))
            << engine.LastErrorText();
        engine.Start(false, 0);
        EXPECT_FALSE(engine.Failed()) << engine.ErrorText();
    };
    run(Out("one.avi"), 0);
    run(Out("pass1.avi"), 1);
    ASSERT_TRUE(QFileInfo(Out("ffmpeg2pass-0.log")).size() > 0);
    run(Out("pass2.avi"), 2);
    auto videoBits = [&](const QString& file) {
        const TCommandResult r =
            RunTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                "packet=size", "-of", "csv=p=0", file});
        double bytes = 0;
        for (const QByteArray& line : r.Out.split('\n'))
            bytes += line.trimmed().toDouble();
        return bytes;
    };
    const double one = videoBits(Out("one.avi"));
    const double two = videoBits(Out("pass2.avi"));
    std::printf("one pass %.0f bytes, two passes %.0f bytes\n", one, two);
    // Both aim at 300 kbit/s; the second pass, knowing the whole clip, lands at least as close.
    const double target = 300000.0 / 8 * 4;
    EXPECT_NEAR(two, target, target * 0.25);
    EXPECT_LE(std::abs(two - target), std::abs(one - target) + target * 0.05);
}
