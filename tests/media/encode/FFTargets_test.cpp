// Targets: every setting of each disc or camcorder format, and how the norm is guessed.

#include "EngineOptionFixture.h"

namespace {
bool RateIs(const TFFOptionState& o, int num, int den) {
    return o.FrameRate.num == num && o.FrameRate.den == den;
}

std::string FormatPrivate(TFFmpeg& engine, const char* name) {
    AVDictionaryPtr opts = engine.OptionContexts().FormatPrivateOptions();
    const AVDictionaryEntry* e = ff::av_dict_get(opts.get(), name, nullptr, 0);
    return e != nullptr ? e->value : "";
}
} // namespace

class TargetTest : public EngineOptionTest {
protected:
    AVCodecContext* Video() { return Engine.OptionContexts().Codec(AVMEDIA_TYPE_VIDEO); }
    AVCodecContext* Audio() { return Engine.OptionContexts().Codec(AVMEDIA_TYPE_AUDIO); }

    // An input whose only stream is video at the given rate, as an opened file would have it.
    void AddVideoInput(AVRational rate) {
        AVInputContextPtr ic(ff::avformat_alloc_context());
        AVStream* st = ff::avformat_new_stream(ic.get(), nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->r_frame_rate = rate;
        TInputFile input;
        input.Context = std::move(ic);
        Engine.FInputFiles.push_back(std::move(input));
    }
};

TEST_F(TargetTest, VcdSetsEverything) {
    Engine.SetOption("target", "pal-vcd");
    EXPECT_EQ(Opt.VideoCodecName, "mpeg1video");
    EXPECT_EQ(Opt.AudioCodecName, "mp2");
    EXPECT_EQ(Opt.FileFormat, "vcd");
    EXPECT_EQ(Opt.FrameWidth, 352);
    EXPECT_EQ(Opt.FrameHeight, 288);
    EXPECT_TRUE(RateIs(Opt, 25, 1));
    EXPECT_EQ(Video()->gop_size, 15);
    EXPECT_EQ(Video()->bit_rate, 1150000);
    EXPECT_EQ(Video()->rc_max_rate, 1150000);
    EXPECT_EQ(Video()->rc_min_rate, 1150000);
    EXPECT_EQ(Video()->rc_buffer_size, 327680);
    EXPECT_EQ(Audio()->bit_rate, 224000);
    EXPECT_EQ(Opt.AudioSampleRate, 44100);
    EXPECT_EQ(Opt.AudioChannels, 2);
    EXPECT_EQ(Engine.OptionContexts().Format()->packet_size, 2324u);
    EXPECT_EQ(FormatPrivate(Engine, "muxrate"), "1411200");
    EXPECT_DOUBLE_EQ(Opt.MuxPreload, 0.44);
    EXPECT_DOUBLE_EQ(Opt.FrameAspectRatio, 4.0 / 3.0);
    EXPECT_TRUE(Logged(llInfo, "Assuming 4:3 for aspect ratio"));

    Engine.InitOptions();
    Engine.SetOption("aspect", "16:9");
    Engine.SetOption("target", "ntsc-vcd");
    EXPECT_EQ(Opt.FrameHeight, 240);
    EXPECT_TRUE(RateIs(Opt, 30000, 1001));
    EXPECT_EQ(Video()->gop_size, 18);
    EXPECT_DOUBLE_EQ(Opt.FrameAspectRatio, 16.0 / 9.0); // a given aspect stays
}

TEST_F(TargetTest, SvcdSetsEverything) {
    Engine.SetOption("ac", "1");
    Engine.SetOption("target", "ntsc-svcd");
    EXPECT_EQ(Opt.VideoCodecName, "mpeg2video");
    EXPECT_EQ(Opt.AudioCodecName, "mp2");
    EXPECT_EQ(Opt.FileFormat, "svcd");
    EXPECT_EQ(Opt.FrameWidth, 480);
    EXPECT_EQ(Opt.FrameHeight, 480);
    EXPECT_TRUE(RateIs(Opt, 30000, 1001));
    EXPECT_EQ(Video()->gop_size, 18);
    EXPECT_EQ(Video()->bit_rate, 2040000);
    EXPECT_EQ(Video()->rc_max_rate, 2516000);
    EXPECT_EQ(Video()->rc_min_rate, 0);
    EXPECT_EQ(Video()->rc_buffer_size, 1835008);
    EXPECT_EQ(Audio()->bit_rate, 224000);
    EXPECT_EQ(Opt.AudioSampleRate, 44100);
    EXPECT_EQ(Opt.AudioChannels, 2);
    EXPECT_EQ(Engine.OptionContexts().Format()->packet_size, 2324u);
    EXPECT_DOUBLE_EQ(Opt.FrameAspectRatio, 4.0 / 3.0);
    // The scan offset is the MPEG-2 encoder's own option now, and setting it logs no error.
    AVDictionaryPtr priv = Engine.OptionContexts().CodecPrivateOptions(AVMEDIA_TYPE_VIDEO);
    const AVDictionaryEntry* scan = ff::av_dict_get(priv.get(), "scan_offset", nullptr, 0);
    ASSERT_NE(scan, nullptr);
    EXPECT_STREQ(scan->value, "1");
    EXPECT_FALSE(Logged(llError, "Invalid value \"+scan_offset\" for option \"flags\"\n"));
}

TEST_F(TargetTest, DvdSetsEverything) {
    Engine.SetOption("ac", "1");
    Engine.SetOption("target", "film-dvd");
    EXPECT_EQ(Opt.VideoCodecName, "mpeg2video");
    EXPECT_EQ(Opt.AudioCodecName, "ac3");
    EXPECT_EQ(Opt.FileFormat, "dvd");
    EXPECT_EQ(Opt.FrameWidth, 720);
    EXPECT_EQ(Opt.FrameHeight, 480);
    EXPECT_TRUE(RateIs(Opt, 24000, 1001));
    EXPECT_EQ(Video()->gop_size, 18);
    EXPECT_EQ(Video()->bit_rate, 6000000);
    EXPECT_EQ(Video()->rc_max_rate, 9000000);
    EXPECT_EQ(Video()->rc_buffer_size, 1835008);
    EXPECT_EQ(Engine.OptionContexts().Format()->packet_size, 2048u);
    EXPECT_EQ(FormatPrivate(Engine, "muxrate"), "10080000");
    EXPECT_EQ(Audio()->bit_rate, 448000);
    EXPECT_EQ(Opt.AudioSampleRate, 48000);
    EXPECT_EQ(Opt.AudioChannels, 2);
    EXPECT_DOUBLE_EQ(Opt.FrameAspectRatio, 16.0 / 9.0);
    EXPECT_TRUE(Logged(llInfo, "Assuming 16:9 for aspect ratio"));
}

TEST_F(TargetTest, DvPixelFormatFollowsTypeAndNorm) {
    struct {
        const char* Target;
        int Height;
        AVPixelFormat PixFmt;
    } rows[] = {{"pal-dv", 576, AV_PIX_FMT_YUV420P},
                {"ntsc-dv", 480, AV_PIX_FMT_YUV411P},
                {"pal-dv50", 576, AV_PIX_FMT_YUV422P},
                {"ntsc-dv50", 480, AV_PIX_FMT_YUV422P}};
    for (const auto& row : rows) {
        Engine.InitOptions();
        Engine.SetOption("ac", "1");
        Engine.SetOption("target", row.Target);
        EXPECT_EQ(Opt.FileFormat, "dv") << row.Target;
        EXPECT_EQ(Opt.FrameWidth, 720) << row.Target;
        EXPECT_EQ(Opt.FrameHeight, row.Height) << row.Target;
        EXPECT_EQ(Opt.FramePixFmt, row.PixFmt) << row.Target;
        EXPECT_EQ(Opt.AudioSampleRate, 48000) << row.Target;
        EXPECT_EQ(Opt.AudioChannels, 2) << row.Target;
        EXPECT_EQ(Opt.FrameAspectRatio, 0) << row.Target;
    }
}

TEST_F(TargetTest, AutoNormComesFromTheFrameRate) {
    EXPECT_EQ(Rejection("target", "dvd"), "frame_rate is invalid.");

    Engine.SetOption("r", "25");
    Engine.SetOption("target", "dvd");
    EXPECT_EQ(Opt.FrameHeight, 576);
    EXPECT_TRUE(Logged(llVerbose, "Assuming PAL for target."));

    Engine.InitOptions();
    Engine.SetOption("r", "24000/1001");
    Engine.SetOption("target", "vcd");
    EXPECT_EQ(Opt.FrameHeight, 240);
    EXPECT_TRUE(RateIs(Opt, 30000, 1001));
    EXPECT_TRUE(Logged(llVerbose, "Assuming NTSC for target."));
}

TEST_F(TargetTest, AutoNormSearchesTheInputsThenTakesTheDefault) {
    Engine.SetOption("r", "10");
    Engine.SetTarget("dvd", "auto", "pal");
    EXPECT_EQ(Opt.FrameHeight, 576); // no input: the default norm

    Engine.InitOptions();
    Engine.SetOption("r", "10");
    Engine.SetOption("target", "dvd"); // the option's default norm is NTSC
    EXPECT_EQ(Opt.FrameHeight, 480);

    Engine.InitOptions();
    Engine.SetOption("r", "10");
    AddVideoInput({30000, 1001});
    Engine.SetTarget("dvd", "auto", "pal");
    EXPECT_EQ(Opt.FrameHeight, 480);

    Engine.FInputFiles.clear();
    Engine.InitOptions();
    Engine.SetOption("r", "10");
    Engine.SetTarget("dvd", "auto", "film");
    EXPECT_EQ(Opt.FrameHeight, 480);
    EXPECT_TRUE(RateIs(Opt, 24000, 1001));
}

TEST_F(TargetTest, QuietEngineDoesNotAnnounceTheNorm) {
    Engine.SetOption("v", "0");
    Engine.SetOption("r", "25");
    Engine.SetTarget("dv", "auto", "ntsc");
    EXPECT_EQ(CountLogged("Assuming PAL for target."), 0u);
    EXPECT_EQ(Rejection("target", "ntsc-cdi"), "Unknown target type");
}
