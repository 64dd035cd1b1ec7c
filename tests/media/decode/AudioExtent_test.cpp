// Where a file's audio ends decides where a cut's fade-out goes; reading an MP3's frame headers
// from near its end must find the end that reading every packet finds, and that a decoder plays.

#include "media/decode/AudioExtent.h"

#include "common/Mp3Variants.h"
#include "common/TestPaths.h"
#include "media/FFLoad.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Microseconds of audio ffmpeg's gapless decoder gives, from its sample count.
int64_t DecodedUs(const QString& file, int rate) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-ac", "1", "-f", "s16le", "-"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return -1;
    const int64_t samples = p.readAllStandardOutput().size() / 2;
    return (samples * 1000000 + rate / 2) / rate;
}

class AudioExtentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FFLoader().LibsLoaded(EncoderLibraries)) {
            ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
        }
        ASSERT_TRUE(dir.isValid());
    }
    QTemporaryDir dir;
};

TEST_F(AudioExtentTest, FrameHeadersGiveTheEndEveryPacketGives) {
    const QString tone = testpaths::fixture("tone200.mp3");
    struct TCase {
        QString File;
        int Rate;
        bool Clean; // what a decoder plays ends where the timestamps do
    };
    // A frame lost in the middle or frames spliced on leave the timestamps' end apart from what
    // is played (the lost frame, the padding in the middle); the packets still set the end.
    const TCase cases[] = {{tone, 44100, true},
                           {testpaths::fixture("tagged.mp3"), 44100, true},
                           {testpaths::fixture("mono22k.mp3"), 22050, true},
                           {testpaths::fixture("noise60vbr.mp3"), 44100, true},
                           {testpaths::fixture("withcover.mp3"), 44100, true},
                           {testpaths::fixture("truncated.mp3"), 44100, true},
                           {mp3variants::WithId3v1(tone, dir.path()), 44100, true},
                           {mp3variants::WithFramesAppended(tone, dir.path(), 20), 44100, false},
                           {mp3variants::WithoutMiddleFrame(tone, dir.path()), 44100, false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File.toStdString());
        ASSERT_FALSE(c.File.isEmpty());
        const TAudioExtent headers = ScanAudioExtent(c.File, INT64_MAX);
        const TAudioExtent packets = ScanAudioExtent(c.File, INT64_MAX, false);
        ASSERT_TRUE(packets.HasAudio);
        EXPECT_TRUE(headers.HasAudio);
        EXPECT_TRUE(headers.ReachedEnd);
        EXPECT_TRUE(packets.ReachedEnd);
        EXPECT_EQ(headers.EndUs, packets.EndUs);
        if (c.Clean) {
            EXPECT_NEAR(double(headers.EndUs), double(DecodedUs(c.File, c.Rate)), 1.0);
        }
    }
}

// A scan asked to go no further than the first packet stops there, as before.
TEST_F(AudioExtentTest, AShortLimitReadsOnlyTheFirstPacket) {
    const TAudioExtent extent = ScanAudioExtent(testpaths::fixture("tone200.mp3"), 0);
    EXPECT_TRUE(extent.HasAudio);
    EXPECT_FALSE(extent.ReachedEnd);
    EXPECT_LT(extent.EndUs, 100000);
}

} // namespace
