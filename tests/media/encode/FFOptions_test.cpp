// The option vocabulary, option strings and the generic fallback to the libraries' tables.

#include "EngineOptionFixture.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {
struct TEffectRow {
    std::string Name;
    std::string Value;
    std::function<bool(const TFFOptionState&)> Holds;
};

std::string Matrix(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += (i > 1 ? "," : "") + std::to_string(i);
    return text;
}
} // namespace

TEST_F(EngineOptionTest, OptionsSetWhatTheirRowSays) {
    const uint32_t mp4a = 'm' | 'p' << 8 | '4' << 16 | uint32_t('a') << 24;
    const std::vector<TEffectRow> rows = {
        {"ss", "00:00:05.5", [](auto& o) { return o.StartTime == 5500000; }},
        {"ss", "5.5", [](auto& o) { return o.StartTime == 5500000; }},
        {"t", "10",
         [](auto& o) { return o.RecordingTime == 10000000 && o.TotalDuration == 10000000; }},
        {"itsoffset", "-2", [](auto& o) { return o.InputTsOffset == -2000000; }},
        {"timestamp", "2000-01-01 00:00:00Z",
         [](auto& o) { return o.RecordingTimestamp == 946684800; }},
        {"fs", "5000000000", [](auto& o) { return o.FileSizeLimit == 5000000000LL; }},
        {"vframes", "10", [](auto& o) { return o.MaxVideoFrames == 10; }},
        {"aframes", "11", [](auto& o) { return o.MaxAudioFrames == 11; }},
        {"dframes", "12", [](auto& o) { return o.MaxDataFrames == 12; }},
        {"acodec", "libmp3lame",
         [](auto& o) { return o.AudioCodecName == "libmp3lame" && !o.AudioStreamCopy; }},
        {"acodec", "copy", [](auto& o) { return o.AudioCodecName.empty() && o.AudioStreamCopy; }},
        {"vcodec", "copy", [](auto& o) { return o.VideoStreamCopy && !o.AudioStreamCopy; }},
        {"scodec", "mov_text", [](auto& o) { return o.SubtitleCodecName == "mov_text"; }},
        {"vol", "0", [](auto& o) { return o.AudioVolume == 0; }},
        {"vol", "300", [](auto& o) { return o.AudioVolume == 300; }},
        {"ar", "22050", [](auto& o) { return o.AudioSampleRate == 22050; }},
        {"ar", "0", [](auto& o) { return o.AudioSampleRate == 44100; }},
        {"ac", "-1", [](auto& o) { return o.AudioChannels == 2; }},
        {"aq", "3.5", [](auto& o) { return o.AudioQScale == 3.5; }},
        {"an", "", [](auto& o) { return o.AudioDisable; }},
        {"an", "0", [](auto& o) { return !o.AudioDisable; }},
        {"vn", "1", [](auto& o) { return o.VideoDisable; }},
        {"copyts", "0", [](auto& o) { return o.CopyTs; }},
        {"xerror", "0", [](auto& o) { return o.ExitOnError; }},
        {"shortest", "1", [](auto& o) { return o.OptShortest; }},
        {"atag", "mp4a", [=](auto& o) { return o.AudioCodecTag == mp4a; }},
        {"vtag", "ab", [](auto& o) { return o.VideoCodecTag == uint32_t('a' | 'b' << 8); }},
        {"alang", "eng", [](auto& o) { return o.AudioLanguage == "eng"; }},
        {"sample_fmt", "s16", [](auto& o) { return o.AudioSampleFmt == AV_SAMPLE_FMT_S16; }},
        {"sample_fmt", "nonsense", [](auto& o) { return o.AudioSampleFmt == -1; }},
        {"pix_fmt", "yuv422p", [](auto& o) { return o.FramePixFmt == AV_PIX_FMT_YUV422P; }},
        {"r", "30000/1001",
         [](auto& o) { return o.FrameRate.num == 30000 && o.FrameRate.den == 1001; }},
        {"s", "640x480", [](auto& o) { return o.FrameWidth == 640 && o.FrameHeight == 480; }},
        {"aspect", "16:9", [](auto& o) { return std::abs(o.FrameAspectRatio - 16.0 / 9) < 1e-9; }},
        {"aspect", "1.5", [](auto& o) { return o.FrameAspectRatio == 1.5; }},
        {"qscale", "255", [](auto& o) { return o.VideoQScale == 255; }},
        {"pass", "2", [](auto& o) { return o.DoPass == 2; }},
        {"vf", "scale=320:240", [](auto& o) { return o.VideoFilters == "scale=320:240"; }},
        {"vfilters", "hflip", [](auto& o) { return o.VideoFilters == "hflip"; }},
        {"map", "0.1:1.0",
         [](auto& o) {
             const TStreamMap& m = o.StreamMaps.back();
             return m.FileIndex == 0 && m.StreamIndex == 1 && m.SyncFileIndex == 1 &&
                    m.SyncStreamIndex == 0;
         }},
        {"map", "1.2",
         [](auto& o) {
             const TStreamMap& m = o.StreamMaps.back();
             return m.SyncFileIndex == 1 && m.SyncStreamIndex == 2;
         }},
        {"map_meta_data", "0:1",
         [](auto& o) {
             return o.MetaDataMaps.back().OutFile == 0 && o.MetaDataMaps.back().InFile == 1;
         }},
        {"metadata", "title=A=B",
         [](auto& o) {
             return o.Metadata.back() == std::make_pair<std::string, std::string>("title", "A=B");
         }},
        {"streamid", "3:77", [](auto& o) { return o.StreamIds[3] == 77; }},
        {"itsscale", "1:2.5", [](auto& o) { return o.InputTsScale[0][1] == 2.5; }},
        {"intra_matrix", Matrix(64),
         [](auto& o) { return o.IntraMatrix.size() == 64 && o.IntraMatrix[63] == 64; }},
        {"loop_output", "3", [](auto& o) { return o.LoopOutput == 3; }},
        {"dts_delta_threshold", "5.5", [](auto& o) { return o.DtsDeltaThreshold == 5.5; }},
        {"muxdelay", "0.2", [](auto& o) { return o.MuxMaxDelay == 0.2; }},
        {"v", "3", [](auto& o) { return o.Verbose == 3; }},
        {"programid", "7", [](auto& o) { return o.ProgramId == 7 && !o.DoPSNR; }},
        {"absf", "mp3decomp", [](auto& o) { return o.AudioBitstreamFilters.size() == 1; }},
        {"vbsf", "=dump_extra", [](auto& o) { return o.VideoBitstreamFilters.empty(); }},
        {"vbsf", "dump_extra=freq=k",
         [](auto& o) { return o.VideoBitstreamFilters.back().Args == "freq=k"; }},
    };
    for (const TEffectRow& row : rows) {
        Engine.InitOptions();
        Engine.SetOption(row.Name, row.Value);
        EXPECT_TRUE(row.Holds(Opt)) << row.Name << "=" << row.Value;
    }
}

TEST_F(EngineOptionTest, RejectedValuesRaiseTheirMessage) {
    const std::vector<std::array<std::string, 3>> rows = {
        {"threads", "2", "TODO: option - threads"},
        {"padtop", "4", "Removed, use the pad filter instead"},
        {"padcolor", "000000", "Removed, use the pad filter instead"},
        {"ss", "abc", "Invalid duration specification for ss: abc"},
        {"t", "", "Invalid duration specification for t: "},
        {"timestamp", "garbage", "Invalid date specification for timestamp: garbage"},
        {"r", "fast", "Incorrect frame rate"},
        {"s", "big", "Incorrect frame size"},
        {"aspect", "0", "Incorrect aspect ratio specification."},
        {"aspect", "4:0", "Incorrect aspect ratio specification."},
        {"aspect", "-4:3", "Incorrect aspect ratio specification."},
        {"pix_fmt", "nope", "Unknown pixel format requested: nope"},
        {"qscale", "0", "qscale must be > 0.0 and <= 255"},
        {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
        {"pass", "3", "pass number can be only 1 or 2"},
        {"metadata", "novalue", "Missing ="},
        {"itsscale", "20:1", "stream index over MAX_STREAMS(20)"},
        {"itsscale", "-1:1", "stream index over MAX_STREAMS(20)"},
        {"streamid", "3",
         "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
        {"streamid", "25:1",
         "Invalid value \"25:1\" for option \"streamid\", required syntax is \"index:value\""},
        {"newaudio", "", "At least one output file must be specified"},
        {"newvideo", "1", "At least one output file must be specified"},
        {"intra_matrix", "1,2,3", "Syntax error in matrix \"1,2,3\" at coeff 2"},
        {"absf", " nosuchfilter ", "Unknown bitstream filter nosuchfilter"},
        {"target", "pal-betamax", "Unknown target type"},
        {"vhook", "/nonexistent/hook.so -x",
         "Failed to add video hook function: /nonexistent/hook.so -x"},
    };
    for (const auto& [name, value, message] : rows)
        EXPECT_EQ(Rejection(name, value), message) << name << "=" << value;
}

TEST_F(EngineOptionTest, RejectionsLeaveTheStateAsItWas) {
    Engine.SetOption("metadata", "a=1");
    EXPECT_EQ(Rejection("metadata", "b"), "Missing =");
    EXPECT_EQ(Opt.Metadata.size(), 1u);
    EXPECT_EQ(Rejection("itsscale", "25:3"), "stream index over MAX_STREAMS(20)");
    for (const auto& perStream : Opt.InputTsScale[0])
        EXPECT_EQ(perStream, 0.0);
    // A bad number is the ordinary conversion error, not the engine's exception.
    EXPECT_THROW(Engine.SetOption("vframes", "ten"), std::invalid_argument);
    EXPECT_EQ(Opt.MaxVideoFrames, 2147483647);
}

TEST_F(EngineOptionTest, InformativeOptionsOnlyLog) {
    Engine.SetOption("h", "");
    Engine.SetOption("benchmark", "1");
    Engine.SetOption("timelimit", "10");
    Engine.SetOption("f", "pgmyuv");
    EXPECT_TRUE(Logged(llInfo, "Do nothing: option - h"));
    EXPECT_TRUE(Logged(llInfo, "Do nothing: option - benchmark"));
    EXPECT_TRUE(Logged(llWarning, "Warning: -timelimit not implemented on Windows"));
    EXPECT_TRUE(Logged(llInfo, "pgmyuv format is deprecated, use image2"));
    EXPECT_EQ(Opt.FileFormat, "image2");
    EXPECT_TRUE(Opt.PgmyuvCompat);

    Lines.clear();
    Engine.SetOption("sample_fmt", "list");
    EXPECT_GE(Lines.size(), size_t(AV_SAMPLE_FMT_NB) - 1);
    EXPECT_EQ(Opt.AudioSampleFmt, -1);
}

TEST_F(EngineOptionTest, BitrateInKilobitsIsWarnedAbout) {
    const std::string warning = "WARNING: The bitrate parameter is set too low. It takes bits/s "
                                "as argument, not kbits/s";
    Engine.SetOption("ab", "128");
    EXPECT_TRUE(Logged(llWarning, warning));
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_AUDIO)->bit_rate, 128);

    Lines.clear();
    Engine.SetOption("ab", "128000");
    Engine.SetOption("vb", "800000");
    EXPECT_EQ(CountLogged(warning), 0u);
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_VIDEO)->bit_rate, 800000);
}

TEST_F(EngineOptionTest, CropShrinksTheFrameWithinItsSize) {
    Engine.SetOption("s", "640x480");
    Engine.SetOption("croptop", "40");
    Engine.SetOption("cropleft", "0"); // not positive: ignored
    EXPECT_EQ(Opt.FrameHeight, 440);
    EXPECT_EQ(Opt.FrameWidth, 640);
    EXPECT_TRUE(Logged(llWarning, "CropXXX is deprecated in favor of the crop avfilter"));
    EXPECT_EQ(Rejection("cropbottom", "440"),
              "Vertical crop dimensions are outside the range of the original image.\n"
              "Remember to crop first and scale second.");
    EXPECT_EQ(Rejection("cropright", "700"),
              "Horizontal crop dimensions are outside the range of the original image.\n"
              "Remember to crop first and scale second.");
    EXPECT_EQ(Opt.FrameHeight, 440);
}

TEST_F(EngineOptionTest, TypedSettersSkipTheirNotGivenValues) {
    Engine.SetStartTime(AV_NOPTS_VALUE);
    Engine.SetRecordingTime(AV_NOPTS_VALUE);
    Engine.SetProgramId(-1);
    Engine.SetAudioVolume(-1);
    Engine.SetAudioSampleRate(0);
    Engine.SetAudioChannels(-1);
    Engine.SetMuxDelay(-1);
    Engine.SetMuxPreload(0);
    Engine.SetAudioCodec("");
    Engine.SetInputFormat("");
    EXPECT_EQ(Opt.StartTime, 0);
    EXPECT_EQ(Opt.RecordingTime, INT64_MAX);
    EXPECT_EQ(Opt.TotalDuration, -1);
    EXPECT_EQ(Opt.ProgramId, 0);
    EXPECT_EQ(Opt.AudioVolume, 256);
    EXPECT_EQ(Opt.AudioSampleRate, 44100);
    EXPECT_EQ(Opt.AudioChannels, 2);
    EXPECT_EQ(Opt.MuxMaxDelay, 0.7);
    EXPECT_EQ(Opt.MuxPreload, 0.5);
    EXPECT_TRUE(Opt.AudioCodecName.empty());
    EXPECT_TRUE(Opt.FileFormat.empty());

    Engine.SetStartTime(5000000);
    Engine.SetRecordingTime(10000000);
    Engine.SetAudioVolume(255);
    Engine.SetAudioCodec("libmp3lame");
    Engine.SetInputFormat("mp3");
    Engine.AddMetadata("title", "x");
    EXPECT_EQ(Opt.StartTime, 5000000);
    EXPECT_EQ(Opt.TotalDuration, 10000000);
    EXPECT_EQ(Opt.AudioVolume, 255);
    EXPECT_EQ(Opt.AudioCodecName, "libmp3lame");
    EXPECT_EQ(Opt.FileFormat, "mp3");
    EXPECT_EQ(Opt.Metadata.size(), 1u);
}

TEST_F(EngineOptionTest, NewStreamOptionsReachTheOutputStage) {
    std::vector<AVMediaType> asked;
    Engine.FNewStreamHandler = [&](AVMediaType t) { asked.push_back(t); };
    EXPECT_EQ(Rejection("newsubtitle", ""), "At least one output file must be specified");
    Engine.FOutputFiles.emplace_back();
    Engine.SetOption("newaudio", "");
    Engine.SetOption("newvideo", "");
    EXPECT_EQ(asked, (std::vector<AVMediaType>{AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO}));
}

// ---- option strings ----

TEST_F(EngineOptionTest, OptionStringsSplitOnLineBreaksAndTheMarker) {
    for (const char* text : {"acodec=libmp3lame<CRLF>ab=128000", "acodec=libmp3lame\r\nab=128000",
                             "acodec=libmp3lame\nab=128000", "acodec=libmp3lame\rab=128000",
                             "  ACODEC=libmp3lame<CRLF>AB=128000\n\n"}) {
        Engine.InitOptions();
        Engine.ApplyOptionString(text, true);
        EXPECT_EQ(Opt.AudioCodecName, "libmp3lame") << text;
        EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_AUDIO)->bit_rate, 128000) << text;
    }
    // The marker is case-sensitive and values keep their case.
    Engine.InitOptions();
    Engine.ApplyOptionString("metadata=Title=A<crlf>B", true);
    EXPECT_EQ(Opt.Metadata.back().second, "A<crlf>B");
}

TEST_F(EngineOptionTest, LinesWithoutValueApplyTheEmptyValue) {
    Engine.ApplyOptionString("copyts\nan", true);
    EXPECT_TRUE(Opt.CopyTs);
    EXPECT_TRUE(Opt.AudioDisable);
}

TEST_F(EngineOptionTest, OptionStringsLeaveStreamOptionsToTheComponent) {
    // newaudio would fail without an output file: it must not be applied here.
    Engine.ApplyOptionString("newaudio=1<CRLF>vf=hflip<CRLF>vfilters=vflip<CRLF>apre=x<CRLF>"
                             "acodec=mp2<CRLF>s=640x480<CRLF>vol=300",
                             false);
    EXPECT_TRUE(Opt.VideoFilters.empty());
    EXPECT_TRUE(Opt.AudioCodecName.empty());
    EXPECT_EQ(Opt.FrameWidth, 0);
    EXPECT_EQ(Opt.AudioVolume, 300);

    Engine.ApplyOptionString("acodec=mp2<CRLF>s=640x480", true);
    EXPECT_EQ(Opt.AudioCodecName, "mp2");
    EXPECT_EQ(Opt.FrameWidth, 640);
}

TEST_F(EngineOptionTest, FirstRejectedLineEndsTheOptionString) {
    EXPECT_THROW(Engine.ApplyOptionString("vol=10\nthreads=2\nvol=20", true), FFmpegException);
    EXPECT_EQ(Opt.AudioVolume, 10);
}

TEST(OptionStringSplit, NamesLowerCasedValuesUntouched) {
    const auto lines = SplitOptionString(" A=B=C\r\n\r\nNoValue<CRLF>x= y ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::make_pair(std::string("a"), std::string("B=C")));
    EXPECT_EQ(lines[1], std::make_pair(std::string(), std::string()));
    EXPECT_EQ(lines[2], std::make_pair(std::string("novalue"), std::string()));
    EXPECT_EQ(lines[3], std::make_pair(std::string("x"), std::string(" y")));
}

// ---- generic fallback ----

TEST_F(EngineOptionTest, GenericOptionsLandInTheirContext) {
    TFFOptionContexts& ctx = Engine.OptionContexts();
    Engine.SetOption("ab", "96000");
    Engine.SetOption("g", "25");
    Engine.SetOption("packetsize", "2324");
    Engine.SetOption("muxrate", "1411200");
    Engine.SetOption("sws_flags", "bilinear");
    EXPECT_EQ(ctx.Codec(AVMEDIA_TYPE_AUDIO)->bit_rate, 96000);
    EXPECT_NE(ctx.Codec(AVMEDIA_TYPE_VIDEO)->bit_rate, 96000);
    EXPECT_EQ(ctx.Codec(AVMEDIA_TYPE_VIDEO)->gop_size, 25);
    EXPECT_NE(ctx.Codec(AVMEDIA_TYPE_AUDIO)->gop_size, 25);
    EXPECT_EQ(ctx.Format()->packet_size, 2324u);
    AVDictionaryPtr format = ctx.FormatPrivateOptions();
    ASSERT_NE(ff::av_dict_get(format.get(), "muxrate", nullptr, 0), nullptr);
    EXPECT_STREQ(ff::av_dict_get(format.get(), "muxrate", nullptr, 0)->value, "1411200");
    int64_t swsFlags = 0;
    ASSERT_GE(ff::av_opt_get_int(ctx.Scaler(), "sws_flags", 0, &swsFlags), 0);
    EXPECT_EQ(swsFlags, SWS_BILINEAR);
    EXPECT_EQ(ctx.SetNames(),
              (std::vector<std::string>{"ab", "g", "packetsize", "muxrate", "sws_flags"}));
    EXPECT_EQ(ctx.NameList(), (QStringList{"ab", "g", "packetsize", "muxrate", "sws_flags"}));
}

TEST_F(EngineOptionTest, UnknownGenericNamesAreIgnoredSilently) {
    Engine.SetOption("nosuchoption", "1");
    EXPECT_FALSE(Engine.SetGenericOption("nosuchoption", "1"));
    EXPECT_FALSE(Engine.SetGenericOption(" ", "1"));
    EXPECT_FALSE(Engine.SetGenericOption("g", "  "));
    EXPECT_TRUE(Lines.empty());
    EXPECT_TRUE(Engine.OptionContexts().SetNames().empty());
}

TEST_F(EngineOptionTest, RejectedGenericValueIsLoggedAndNotRemembered) {
    EXPECT_FALSE(Engine.SetGenericOption("g", "abc"));
    EXPECT_TRUE(Logged(llError, "Invalid value \"abc\" for option \"g\"\n"));
    // libmp3lame's own option, checked against that encoder.
    EXPECT_FALSE(Engine.SetGenericOption("reservoir", "perhaps"));
    EXPECT_TRUE(Logged(llError, "Invalid value \"perhaps\" for option \"reservoir\"\n"));
    EXPECT_TRUE(Engine.OptionContexts().SetNames().empty());

    EXPECT_TRUE(Engine.SetGenericOption("reservoir", "0"));
    AVDictionaryPtr audio = Engine.OptionContexts().CodecPrivateOptions(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(ff::av_dict_get(audio.get(), "reservoir", nullptr, 0), nullptr);
}

TEST_F(EngineOptionTest, DebugOptionRaisesTheLogLevel) {
    ActiveLogger()->SetLogLevel(llInfo);
    EXPECT_TRUE(Engine.SetGenericOption("g", "12"));
    EXPECT_EQ(ActiveLogger()->LogLevel(), llInfo);
    EXPECT_TRUE(Engine.SetGenericOption("debug", "pict"));
    EXPECT_EQ(ActiveLogger()->LogLevel(), llDebug);
}

TEST_F(EngineOptionTest, SetValuesAreCopiedIntoNewContextsByKind) {
    Engine.SetOption("ab", "96000");
    Engine.SetOption("g", "40");
    TFFOptionContexts& ctx = Engine.OptionContexts();
    AVCodecContextPtr audio(ff::avcodec_alloc_context3(nullptr));
    ctx.CopyTo(ctx.Codec(AVMEDIA_TYPE_AUDIO), audio.get(),
               AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    EXPECT_EQ(audio->bit_rate, 96000);
    EXPECT_NE(audio->gop_size, 40); // a video-only option stays out of an audio context
}

TEST_F(EngineOptionTest, InitOptionsRestoresEveryDefault) {
    Engine.ApplyOptionString("ss=3<CRLF>vol=10<CRLF>ab=96000<CRLF>absf=mp3decomp<CRLF>map=0.0",
                             true);
    Engine.InitOptions();
    const TFFOptionState fresh;
    EXPECT_EQ(Opt.StartTime, fresh.StartTime);
    EXPECT_EQ(Opt.AudioVolume, 256);
    EXPECT_TRUE(Opt.AudioBitstreamFilters.empty());
    EXPECT_TRUE(Opt.StreamMaps.empty());
    EXPECT_TRUE(Engine.OptionContexts().SetNames().empty());
    EXPECT_NE(Engine.OptionContexts().Codec(AVMEDIA_TYPE_AUDIO)->bit_rate, 96000);
    // A few defaults callers rely on.
    EXPECT_EQ(fresh.RecordingTime, INT64_MAX);
    EXPECT_EQ(fresh.MaxInputFiles, 20);
    EXPECT_EQ(fresh.AudioQScale, -99999.0);
    EXPECT_EQ(fresh.AudioDriftThreshold, 0.1);
    EXPECT_EQ(fresh.IntraDCPrecision, 8);
    EXPECT_EQ(fresh.LoopOutput, -1);
    EXPECT_EQ(fresh.SwsFlags, SWS_BICUBIC);
    EXPECT_EQ(fresh.Verbose, 1);
}

// Run under AddressSanitizer: every context, filter and dictionary of a busy engine is freed.
TEST_F(EngineOptionTest, EnginesAreFreedWithEverythingTheyHold) {
    for (int i = 0; i < 3; ++i) {
        auto engine = std::make_unique<TFFmpeg>();
        engine->InitOptions();
        engine->ApplyOptionString(
            "ab=96000<CRLF>g=25<CRLF>muxrate=1411200<CRLF>reservoir=0<CRLF>"
            "absf=mp3decomp<CRLF>vbsf=dump_extra<CRLF>sws_flags=bilinear<CRLF>"
            "metadata=a=b<CRLF>intra_matrix=" +
                Matrix(64),
            true);
        engine->InitOptions(); // replaces everything once
        engine->SetOption("absf", "mp3decomp");
    }
}

// ---- codec names ----

TEST_F(EngineOptionTest, CodecNamesResolveOrExplainWhyNot) {
    const AVCodec* lame = Engine.FindCodec("libmp3lame", AVMEDIA_TYPE_AUDIO, true, 0);
    ASSERT_NE(lame, nullptr);
    EXPECT_STREQ(lame->name, "libmp3lame");
    EXPECT_NE(Engine.FindCodec("mp3float", AVMEDIA_TYPE_AUDIO, false, 0), nullptr);

    const struct {
        const char* Name;
        AVMediaType Type;
        bool Encoder;
        const char* Message;
    } rows[] = {
        {"nosuch", AVMEDIA_TYPE_AUDIO, true, "Unknown encoder 'nosuch'"},
        {"mp3float", AVMEDIA_TYPE_AUDIO, true, "Unknown encoder 'mp3float'"},
        {"mpeg2video", AVMEDIA_TYPE_AUDIO, true, "Invalid encoder type 'mpeg2video'"},
        {"mp3float", AVMEDIA_TYPE_VIDEO, false, "Invalid decoder type 'mp3float'"},
        {"opus", AVMEDIA_TYPE_AUDIO, true,
         "encoder 'opus' is experimental and might produce bad results.\r\nAdd '-strict "
         "experimental' if you want to use it.\r\nOr use the non experimental encoder 'libopus'."},
        {"sonic", AVMEDIA_TYPE_AUDIO, true,
         "encoder 'sonic' is experimental and might produce bad results.\r\nAdd '-strict "
         "experimental' if you want to use it."},
    };
    for (const auto& row : rows) {
        Engine.SetLastErrorText("");
        EXPECT_EQ(Engine.FindCodec(row.Name, row.Type, row.Encoder, FF_COMPLIANCE_NORMAL), nullptr)
            << row.Name;
        EXPECT_EQ(Engine.LastErrorText(), row.Message);
    }
    EXPECT_NE(Engine.FindCodec("opus", AVMEDIA_TYPE_AUDIO, true, FF_COMPLIANCE_EXPERIMENTAL),
              nullptr);
}

TEST_F(EngineOptionTest, LogLevelAndStatisticsFileOptions) {
    Engine.SetOption("loglevel", "debug");
    EXPECT_EQ(ActiveLogger()->LogLevel(), llDebug);
    EXPECT_THROW(Engine.SetOption("loglevel", "loud"), std::invalid_argument);

    Engine.SetOption("vstats", "");
    const QString name = QString::fromStdString(Opt.VStatsFileName);
    EXPECT_TRUE(name.startsWith(QCoreApplication::applicationDirPath() + "/vstats_"))
        << name.toStdString();
    EXPECT_TRUE(QRegularExpression("vstats_\\d{6}\\.log$").match(name).hasMatch());
    Engine.SetOption("vstats_file", "/tmp/v.log");
    EXPECT_EQ(Opt.VStatsFileName, "/tmp/v.log");
}
