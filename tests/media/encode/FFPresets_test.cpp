// Presets: the built-in texts, the codec-prefixed lookup, preset files and their messages.

#include "EngineOptionFixture.h"

#include "media/encode/options/FFPresets.h"

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

// FFmpeg 5.1 no longer has the old x264 flags, so the built-in texts stop at their first line
// with the invalid-option message; the message names the preset that was found.
TEST_F(EngineOptionTest, BuiltinPresetFoundByNameOrWithTheCodecInFront) {
    const std::string mainFailure = "libx264-main: Invalid option or argument: \"flags2=-dct8x8\", "
                                    "parsed as \"flags2\" = \"-dct8x8\"";
    EXPECT_EQ(Rejection("vpre", "LIBX264-MAIN"),
              "LIBX264-MAIN: Invalid option or argument: \"flags2=-dct8x8\", parsed as \"flags2\" "
              "= \"-dct8x8\"");
    Engine.SetOption("vcodec", "libx264");
    EXPECT_EQ(Rejection("vpre", "main"), mainFailure);
    // Without a video codec name the subtitle codec's name is the prefix.
    Engine.InitOptions();
    Engine.SetOption("scodec", "libx264");
    EXPECT_EQ(Rejection("vpre", "main"), mainFailure);
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
