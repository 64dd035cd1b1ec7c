// Presets: the built-in texts, the codec-prefixed lookup, preset files and their messages.

#include "EngineOptionFixture.h"

#include "media/encode/options/FFPresets.h"
#include "media/encode/options/FFPresetsRetired.h"

#include <QFile>
#include <QTemporaryDir>

#include <set>

namespace {
std::string WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    return path.toStdString();
}
} // namespace

TEST(BuiltinPresets, AllThirtySixAreThereUnderAnyCase) {
    int count = 0;
    const TBuiltinPreset* presets = BuiltinPresets(count);
    ASSERT_EQ(count, 36);
    std::set<std::string> names;
    for (int i = 0; i < count; ++i)
        names.insert(presets[i].Name);
    EXPECT_EQ(names.size(), 36u);
    for (const char* name : {"libx264-fast_firstpass", "libx264-ipod640", "libx264-lossless_max",
                             "libx264-veryslow_firstpass", "libx264-normal"})
        EXPECT_TRUE(names.count(name)) << name;

    std::string text;
    ASSERT_TRUE(FindBuiltinPreset("LIBX264-Baseline", text));
    EXPECT_EQ(text, "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0\n");
    ASSERT_TRUE(FindBuiltinPreset("libx264-main", text));
    EXPECT_EQ(text, "flags2=-dct8x8\n");
    EXPECT_FALSE(FindBuiltinPreset("libx264-", text));
}

// The built-in texts were written for an older x264 wrapper: their retired options reach the
// wrapper under today's names, and the lookup names the preset that was found.
TEST_F(EngineOptionTest, BuiltinPresetFoundByNameOrWithTheCodecInFront) {
    auto privateValue = [&](const char* name) {
        AVDictionaryPtr options = Engine.OptionContexts().CodecPrivateOptions(AVMEDIA_TYPE_VIDEO);
        const AVDictionaryEntry* e = ff::av_dict_get(options.get(), name, nullptr, 0);
        return e ? std::string(e->value) : std::string("(unset)");
    };
    if (!ff::avcodec_find_encoder_by_name("libx264"))
        GTEST_SKIP() << "this FFmpeg has no libx264";
    EXPECT_EQ(Rejection("vpre", "LIBX264-MAIN"), "");
    EXPECT_EQ(privateValue("8x8dct"), "0");
    Engine.InitOptions();
    Engine.SetOption("vcodec", "libx264");
    EXPECT_EQ(Rejection("vpre", "baseline"), "");
    EXPECT_EQ(privateValue("coder"), "0");
    EXPECT_EQ(privateValue("weightb"), "0");
    EXPECT_EQ(privateValue("8x8dct"), "0");
    // Without a video codec name the subtitle codec's name is the prefix.
    Engine.InitOptions();
    Engine.SetOption("scodec", "libx264");
    EXPECT_EQ(Rejection("vpre", "fast_firstpass"), "");
    EXPECT_EQ(privateValue("direct-pred"), "1");
    EXPECT_EQ(privateValue("partitions"), "none");
}

TEST_F(EngineOptionTest, EveryBuiltinPresetAppliesToThisFFmpeg) {
    if (!ff::avcodec_find_encoder_by_name("libx264"))
        GTEST_SKIP() << "this FFmpeg has no libx264";
    int count = 0;
    const TBuiltinPreset* presets = BuiltinPresets(count);
    for (int i = 0; i < count; ++i) {
        Engine.InitOptions();
        EXPECT_EQ(Rejection("vpre", presets[i].Name), "") << presets[i].Name;
    }
}

TEST(PresetTranslation, RetiredLinesBecomeTheirSuccessorsAndTheRestStays) {
    auto text = [](const ffopt::TPresetTranslation& t) {
        std::string all;
        for (const auto& s : t.Settings)
            all += s.Name + "=" + s.Value + ";";
        for (const auto& d : t.Dropped)
            all += "[" + d + "]";
        return all;
    };
    using ffopt::TranslatePresetLine;
    EXPECT_EQ(
        text(TranslatePresetLine("flags2", "+bpyramid+mixed_refs+wpred-dct8x8+fastpskip+fast")),
        "b-pyramid=normal;mixed-refs=1;weightb=1;8x8dct=0;fast-pskip=1;flags2=+fast;");
    EXPECT_EQ(text(TranslatePresetLine("FLAGS2", "-mbtree+nosuch")), "mbtree=0;[flags2 +nosuch]");
    EXPECT_EQ(text(TranslatePresetLine("partitions", "+parti8x8-parti4x4+partp4x4")),
              "partitions=i8x8,p4x4;");
    EXPECT_EQ(text(TranslatePresetLine("partitions", "-parti8x8-parti4x4-partp8x8-partb8x8")),
              "partitions=none;");
    EXPECT_EQ(text(TranslatePresetLine("partitions", "i8x8,p8x8")), "partitions=i8x8,p8x8;");
    EXPECT_EQ(text(TranslatePresetLine("directpred", "3")), "direct-pred=3;");
    EXPECT_EQ(text(TranslatePresetLine("cqp", "0")), "qp=0;");
    EXPECT_EQ(text(TranslatePresetLine("rc_lookahead", "30")), "rc-lookahead=30;");
    EXPECT_EQ(text(TranslatePresetLine("g", "250")), "g=250;");
}

TEST_F(EngineOptionTest, PresetFileSetsCodecNamesAndLibraryOptions) {
    QTemporaryDir dir;
    const std::string path =
        WriteFile(dir, "video.ffpreset", "  \r\n g=50 \r\nb=300000\r\n\r\nACodec=mp2\rab=64000\n");
    Engine.SetOption("fpre", path);
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_VIDEO)->gop_size, 50);
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_VIDEO)->bit_rate, 300000);
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_AUDIO)->bit_rate, 64000);
    EXPECT_EQ(Opt.AudioCodecName, "mp2");

    // apre looks for the name among the built-ins, then for libmp3lame-<name>, then the file.
    Engine.InitOptions();
    Engine.SetOption("acodec", "libmp3lame");
    Engine.SetPreset("apre", path);
    EXPECT_EQ(Engine.OptionContexts().Codec(AVMEDIA_TYPE_VIDEO)->gop_size, 50);
}

TEST_F(EngineOptionTest, PresetMessages) {
    QTemporaryDir dir;
    Engine.SetOption("acodec", "libmp3lame");
    EXPECT_EQ(Rejection("apre", "fast"), "Preset \"fast\" not found");
    EXPECT_EQ(Rejection("fpre", dir.path().toStdString()),
              "Preset \"" + dir.path().toStdString() + "\" not found");

    const std::string empty = WriteFile(dir, "empty", "g=10\nb=\n");
    EXPECT_EQ(Rejection("fpre", empty), empty + ": Invalid syntax: \"b=\"");
    const std::string noKey = WriteFile(dir, "nokey", "=5");
    EXPECT_EQ(Rejection("fpre", noKey), noKey + ": Invalid syntax: \"=5\"");
    const std::string bad = WriteFile(dir, "bad", "nosuchoption=1");
    EXPECT_EQ(Rejection("fpre", bad), bad + ": Invalid option or argument: \"nosuchoption=1\", "
                                            "parsed as \"nosuchoption\" = \"1\"");

    // Nothing to do without a kind or a name.
    Engine.SetPreset("", "x");
    Engine.SetPreset("apre", "");
}
