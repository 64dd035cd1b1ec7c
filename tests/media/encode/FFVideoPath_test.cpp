// The video path: frame-rate sync arithmetic, rate-control overrides, and whole runs checked with
// ffprobe and ffmpeg — size, codec and frame count, filters, crop, stream copy, duplicates over a
// gap, a frame size that changes mid-stream, the hook protocol, previews and two-pass encoding.

#include "EngineTestSupport.h"
#include "app/BitmapImage.h"
#include "common/TestPaths.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/encode/video/FFVideoEncoderSetup.h"
#include "media/encode/video/FFRgbBitmap.h"
#include "media/encode/video/FFVideoSync.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace enginetest;

// The ffmpeg 5.1 tool's clock, case by case: a gap is filled with the previous picture first,
// a picture a little early is taken as on time, variable rate jumps the clock, pass-through takes
// the picture's time, and the constant rate of a lone stream does not fill the time before its
// first picture.
TEST(VideoSync, FollowsTheFfmpegToolsClock) {
    struct TCase {
        const char* Name;
        int Method;
        int64_t Pos, Written;
        double Ipts, Duration;
        int64_t Frames, Nb0, PosAfter, Dups;
    } cases[] = {
        {"cfr, a gap of two frames", VsyncCfr, 3, 3, 5.0, 1, 3, 1, 3, 2},
        {"cfr, on time", VsyncCfr, 10, 10, 10.0, 1, 1, 0, 10, 0},
        {"cfr, most of a frame late covers two slots", VsyncCfr, 10, 10, 10.9, 1, 2, 0, 10, 1},
        {"cfr, a frame early is still written", VsyncCfr, 10, 10, 8.8, 1, 1, 0, 10, 0},
        {"cfr, far too early is dropped", VsyncCfr, 10, 10, 7.8, 1, 0, 0, 10, 0},
        {"cfr, a late first picture fills the start", VsyncCfr, 0, 0, 5.0, 1, 6, 4, 0, 5},
        {"vscfr, a late first picture does not", VsyncVsCfr, 0, 0, 5.0, 1, 1, 0, 5, 0},
        {"vfr, a gap moves the clock", VsyncVfr, 3, 3, 7.0, 1, 1, 0, 7, 0},
        {"vfr, a little early is on time", VsyncVfr, 7, 7, 6.3, 1, 1, 0, 7, 0},
        {"vfr, too early is dropped", VsyncVfr, 7, 7, 5.3, 1, 0, 0, 7, 0},
        {"passthrough", VsyncPassthrough, 3, 3, 42.4, 1, 1, 0, 42, 0},
        {"cfr, no frame duration known", VsyncCfr, 4, 4, 4.0, 0, 1, 0, 4, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TVideoSyncState state;
        state.SyncPos = c.Pos;
        state.Written = c.Written;
        const TVideoSyncResult r = VideoSync(c.Method, c.Ipts, c.Duration, INT32_MAX, state);
        EXPECT_EQ(r.Frames, c.Frames);
        EXPECT_EQ(r.Nb0, c.Nb0);
        EXPECT_EQ(state.SyncPos, c.PosAfter);
        EXPECT_EQ(r.Dups, c.Dups);
        EXPECT_EQ(state.LastDropped, c.Frames == 0);
    }
    // A dropped picture counts when the next one does not repeat it.
    TVideoSyncState s;
    s.SyncPos = s.Written = 10;
    EXPECT_EQ(VideoSync(VsyncCfr, 7.8, 1, INT32_MAX, s).Drops, 0);
    EXPECT_EQ(VideoSync(VsyncCfr, 10.0, 1, INT32_MAX, s).Drops, 1);
    // The frame cap, and a duplication beyond reason (a count past INT_MAX is no truncation).
    s = TVideoSyncState{};
    EXPECT_EQ(VideoSync(VsyncCfr, 5.0, 1, 2, s).Frames, 2);
    s = TVideoSyncState{};
    const TVideoSyncResult huge = VideoSync(VsyncCfr, 5e9, 1, INT64_MAX, s);
    EXPECT_TRUE(huge.TooLarge);
    EXPECT_EQ(huge.Frames, 0);
    EXPECT_EQ(huge.Drops, 1);
    // At the end the last picture is repeated as often as it mostly was lately.
    s = TVideoSyncState{};
    s.LastNb0[0] = 1;
    s.LastNb0[1] = 0;
    s.LastNb0[2] = 1;
    EXPECT_EQ(VideoSyncFlush(INT32_MAX, s).Frames, 1);
}

TEST(VideoSync, MethodNamesNumbersAndWhatAutoMeans) {
    const struct {
        const char* Text;
        bool Ok;
        int Method;
    } texts[] = {{"cfr", true, VsyncCfr},
                 {"VFR", true, VsyncVfr},
                 {"passthrough", true, 0},
                 {"drop", true, VsyncDrop},
                 {"auto", true, VsyncAuto},
                 {"-1", true, -1},
                 {"0", true, 0},
                 {"2", true, 2},
                 {"3", false, 0},
                 {"fast", false, 0},
                 {"", false, 0}};
    for (const auto& t : texts) {
        SCOPED_TRACE(t.Text);
        int method = 99;
        EXPECT_EQ(ParseVideoSyncMethod(t.Text, method), t.Ok);
        if (t.Ok) {
            EXPECT_EQ(method, t.Method);
        }
    }
    // name, variable fps, no timestamps, single-stream input, copyts -> method
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "avi", false, false, true, false), VsyncVfr);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "matroska", true, false, true, false), VsyncVfr);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "rawvideo", true, true, false, false), 0);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "mp4", false, false, false, false), VsyncCfr);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "mp4", false, false, true, false), VsyncVsCfr);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, "mp4", false, false, false, true), VsyncVsCfr);
    EXPECT_EQ(ResolveVideoSyncMethod(1, "avi", false, false, true, false), VsyncCfr);
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
namespace {
QImage Filled(const QColor& colour) {
    QImage image(640, 480, QImage::Format_RGB888);
    image.fill(colour);
    return image;
}
} // namespace

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
        TBitmap bitmap;
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        // The handler's own bitmap, at depth 32 in another layout than the converter's.
        bitmap = BitmapOf(Filled(QColor(255, 0, 0)), AV_PIX_FMT_RGB24);
        ASSERT_TRUE(converter.FromBitmap(bitmap, picture.get()));
        const TBitmap held = bitmap; // someone keeps the picture as it was
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        EXPECT_EQ(bitmap.Format(), converter.PixelFormat());
        EXPECT_GT(ImageOf(bitmap).pixelColor(320, 240).red(), 200);
        EXPECT_LT(ImageOf(bitmap).pixelColor(320, 240).green(), 60);
        bitmap = BitmapOf(Filled(QColor(0, 0, 255)), converter.PixelFormat());
        ASSERT_TRUE(converter.FromBitmap(bitmap, picture.get()));
        ASSERT_TRUE(converter.ToBitmap(picture.get(), bitmap));
        EXPECT_GT(ImageOf(bitmap).pixelColor(10, 10).blue(), 200);
        EXPECT_EQ(ImageOf(held).pixelColor(10, 10), QColor(255, 0, 0));
        // A bitmap of another size cannot go back into the picture.
        EXPECT_FALSE(converter.FromBitmap(TBitmap(64, 48, AV_PIX_FMT_RGB24), picture.get()));
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
    hooked.OnVideoOutputHookCallback = [](TCustomFFmpeg*, TBitmap&, bool&, bool&, int64_t, int) {};
    hooked.Start(false, 0);
    EXPECT_TRUE(hooked.Failed());
    EXPECT_EQ(hooked.ErrorText(),
              "-vcodec copy and VideoHook are incompatible (frames are not decoded)");

    TTestEngine previewed;
    ASSERT_TRUE(Prepare(previewed, testpaths::fixture("testsrc10.avi"), Out("copyprev.avi"),
                        {{"vcodec", "copy"}, {"an", "1"}}));
    previewed.OnPreviewBitmapCallback = [](TCustomFFmpeg*, TBitmap&, int64_t, int) {};
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
    engine.OnVideoInputHookCallback = [&](TCustomFFmpeg*, TBitmap& bitmap, bool& stop, bool&,
                                          int64_t, int) {
        ++inputCalls;
        EXPECT_EQ(bitmap.Format(), AV_PIX_FMT_RGB24);
        stop = true;
    };
    // The output hook paints every picture green but says update false from the second picture
    // on, and throws on the third: only the first picture is changed, and the run goes on.
    engine.OnVideoOutputHookCallback = [&](TCustomFFmpeg*, TBitmap& bitmap, bool&, bool& update,
                                           int64_t, int frame) {
        ++outputCalls;
        QImage green(bitmap.Width(), bitmap.Height(), QImage::Format_RGB888);
        green.fill(QColor(0, 255, 0));
        bitmap = BitmapOf(green, bitmap.Format());
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
    engine.OnPreviewBitmapCallback = [&](TCustomFFmpeg*, TBitmap& bitmap, int64_t, int) {
        EXPECT_EQ(bitmap.Format(), AV_PIX_FMT_BGRA);
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

namespace {

// Every frame of file as ffmpeg decodes it to gray, after its own outputArgs (a filter, a range).
std::vector<QByteArray> GrayFrames(const QString& file, const QStringList& outputArgs, int width,
                                   int height) {
    const TCommandResult r =
        RunTool("ffmpeg", QStringList{"-v", "error", "-i", file} + outputArgs +
                              QStringList{"-f", "rawvideo", "-pix_fmt", "gray", "-"});
    std::vector<QByteArray> frames;
    const qsizetype size = qsizetype(width) * height;
    for (qsizetype at = 0; size > 0 && at + size <= r.Out.size(); at += size)
        frames.push_back(r.Out.mid(at, size));
    return frames;
}

double MeanAbsoluteDifference(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size() || a.isEmpty())
        return 255;
    double sum = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(a.size());
}

// Per-frame PSNR (all planes) of file against raw 320x240 yuv420p pictures, by ffmpeg's filter.
std::vector<double> FramePsnr(const QString& file, const QString& raw, const QString& stats) {
    const TCommandResult r =
        RunTool("ffmpeg", {"-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s",
                           "320x240", "-i", raw, "-lavfi", "[0:v][1:v]psnr=stats_file=" + stats,
                           "-f", "null", "-"});
    std::vector<double> values;
    QFile f(stats);
    if (r.ExitCode != 0 || !f.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const qsizetype at = line.indexOf("psnr_avg:");
        if (at < 0)
            continue;
        bool ok = false;
        const double v = line.mid(at + 9).split(' ').first().toDouble(&ok);
        values.push_back(ok ? v : 100.0); // "inf": identical
    }
    return values;
}

} // namespace

// A filter that changes the picture's size sets the encoder's size, as the ffmpeg tool's does:
// each output has the filtered size and the filtered picture (against ffmpeg's own filtering of
// the same frames), including a graph whose input changes size mid-stream and is scaled back.
TEST_F(VideoPathTest, SizeChangingFiltersSetTheEncodersSize) {
    const struct {
        const char* Input;
        const char* Filter;
        int Width, Height;
    } cases[] = {
        {"testsrc10.avi", "scale=320:240", 320, 240},   {"testsrc10.avi", "crop=320:240", 320, 240},
        {"testsrc10.avi", "scale=1280:960", 1280, 960}, {"testsrc10.avi", "transpose=1", 480, 640},
        {"sizechange.ts", "crop=iw/2:ih/2", 160, 120},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Input) + " " + c.Filter);
        const QString input = testpaths::fixture(c.Input);
        const QString out = Out(QString("filtered%1.avi").arg(n++));
        TTestEngine engine;
        ASSERT_TRUE(Prepare(
            engine, input, out,
            {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", "1"}, {"t", "2"}, {"vf", c.Filter}}))
            << engine.LastErrorText();
        engine.Start(false, 0);
        ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
        const TStreamFacts f = ProbeVideo(out);
        EXPECT_EQ(f.Width, c.Width);
        EXPECT_EQ(f.Height, c.Height);
        const auto ours = GrayFrames(out, {}, c.Width, c.Height);
        const auto theirs = GrayFrames(input, {"-t", "2", "-vf", c.Filter}, c.Width, c.Height);
        ASSERT_GE(ours.size(), 40u);
        ASSERT_NEAR(double(ours.size()), double(theirs.size()), 1.0);
        EXPECT_LT(MeanAbsoluteDifference(ours.front(), theirs.front()), 8);
        EXPECT_LT(MeanAbsoluteDifference(ours[ours.size() / 2], theirs[ours.size() / 2]), 8);
        EXPECT_LT(MeanAbsoluteDifference(ours.back(), theirs.back()), 8);
    }
}

// A start between two keyframes: every picture from it on is decoded from the keyframe before it,
// so each output frame is as close to the source as the ffmpeg tool's own re-encode of the range.
TEST_F(VideoPathTest, AStartBetweenKeyframesDecodesFromTheKeyframe) {
    const QString input = testpaths::fixture("longgop.mp4");
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, input, Out("late.avi"),
                        {{"vcodec", "mpeg4"}, {"qscale", "3"}, {"ss", "25"}, {"t", "3"}}))
        << engine.LastErrorText();
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    ASSERT_EQ(RunTool("ffmpeg", {"-v", "error", "-i", input, "-ss", "25", "-t", "3", "-c:v",
                                 "mpeg4", "-q:v", "3", "-y", Out("ref.avi")})
                  .ExitCode,
              0);
    ASSERT_EQ(RunTool("ffmpeg", {"-v", "error", "-i", input, "-ss", "25", "-t", "3", "-f",
                                 "rawvideo", "-pix_fmt", "yuv420p", "-y", Out("source.yuv")})
                  .ExitCode,
              0);
    const std::vector<double> ours = FramePsnr(Out("late.avi"), Out("source.yuv"), Out("a.log"));
    const std::vector<double> theirs = FramePsnr(Out("ref.avi"), Out("source.yuv"), Out("b.log"));
    ASSERT_EQ(ours.size(), 75u);
    ASSERT_EQ(theirs.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i)
        EXPECT_GE(ours[i], theirs[i] - 3.0) << "frame " << i;
}

// A frame cap with an encoder that holds pictures back (libx264's lookahead) stops reading once
// enough pictures were sent, not when enough packets came out.
TEST_F(VideoPathTest, AFrameCapWithALookaheadStopsReadingEarly) {
    if (!ff::avcodec_find_encoder_by_name("libx264"))
        GTEST_SKIP() << "this FFmpeg has no libx264";
    TTestEngine engine;
    ASSERT_TRUE(Prepare(engine, testpaths::fixture("testsrc10.avi"), Out("capped.mp4"),
                        {{"vcodec", "libx264"}, {"an", "1"}, {"vframes", "10"}}))
        << engine.LastErrorText();
    int decoded = 0;
    engine.OnVideoInputHookCallback = [&](TCustomFFmpeg*, TBitmap&, bool&, bool& update, int64_t,
                                          int) {
        ++decoded;
        update = false;
    };
    engine.Start(false, 0);
    ASSERT_FALSE(engine.Failed()) << engine.ErrorText();
    EXPECT_EQ(ProbeVideo(Out("capped.mp4")).Frames, 10);
    EXPECT_LT(decoded, 40);
}
