// What the player hands the sound device, captured by SDL's disk driver and compared with the
// ffmpeg tool's decode of the same range.
#include "PlayerTestSupport.h"
#include "common/TestPaths.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace playtest;

namespace {

constexpr int Rate = 44100;

class PlayerPcmTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadPlayerLibraries();
        ASSERT_TRUE(FDir.isValid());
    }

    // Plays 10..20 s of the 200 s tone (or another range of another file) through the disk
    // driver and returns the first channel of what was played.
    std::vector<double> PlayRange(int volume, bool mute, const QString& fixture = "tone200.mp3",
                                  int64_t start = 10000000, int64_t length = 10000000) {
        const QString capture = FDir.filePath(QStringLiteral("out%1.raw").arg(++FRuns));
        UseDiskAudio(capture, 1);
        TRecorder recorder;
        {
            TFFPlayer player;
            recorder.Attach(player);
            player.DisableDisplay = true;
            player.StartTime = start;
            player.PlayDuration = length;
            player.SetAudioVolume(volume);
            player.SetMute(mute);
            EXPECT_TRUE(player.OpenMedia(testpaths::fixture(fixture), nullptr, false))
                << player.LastErrorText().toStdString();
            EXPECT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 60000));
            player.Stop(true);
        }
        return Channel(ReadS16(capture), 0);
    }

    static const std::vector<double>& Reference() {
        static const std::vector<double> ref =
            Channel(ReadS16(testpaths::fixture("tone200_30s.s16")), 0);
        return ref;
    }

    QTemporaryDir FDir;
    int FRuns = 0;
};

double Db(double ratio) {
    return 20 * std::log10(ratio);
}

} // namespace

TEST_F(PlayerPcmTest, TheRangeMatchesTheDecodeInShapeAndLevelAtFullAndHalfVolume) {
    const std::vector<double>& ref = Reference();
    ASSERT_GE(ref.size(), size_t(30 * Rate));
    for (const int volume : {128, 64}) {
        SCOPED_TRACE(volume);
        const std::vector<double> out = PlayRange(volume, false);
        const long start = FirstAbove(out, 50);
        ASSERT_GE(start, 0) << "nothing audible was played";
        // About ten seconds of sound: the range, give or take the refresh that ends it.
        long last = long(out.size()) - 1;
        while (last > start && std::fabs(out[size_t(last)]) <= 50)
            --last;
        const double seconds = double(last - start) / Rate;
        EXPECT_GT(seconds, 9.9);
        EXPECT_LT(seconds, 10.8);

        // The first sample played is the decode's sample at 10 s, within one MP3 frame.
        const size_t probe = 8192;
        const TAlignment a = Align(out, size_t(start) + 4410, ref, 10 * Rate + 4410, probe, 1300);
        EXPECT_GT(a.Correlation, 0.99);
        const size_t refAt = size_t(10 * Rate + 4410 + a.Lag);
        const size_t span = 8 * Rate;
        EXPECT_GE(Correlation(out, size_t(start) + 4410, ref, refAt, span), 0.99);
        const double level = Db(Rms(out, size_t(start) + 4410, span) / Rms(ref, refAt, span));
        EXPECT_NEAR(level, volume == 128 ? 0.0 : -6.02, 0.5);
    }
}

TEST_F(PlayerPcmTest, VolumeZeroAndMuteGiveDigitalSilence) {
    for (const bool mute : {false, true}) {
        SCOPED_TRACE(mute);
        const std::vector<double> out = PlayRange(mute ? 128 : 0, mute);
        // It did play (the device ran through the range) ...
        EXPECT_GT(out.size(), size_t(9 * Rate));
        // ... and every sample was zero.
        EXPECT_EQ(FirstAbove(out, 0), -1);
    }
}

TEST_F(PlayerPcmTest,
       AStartDeepInTheFileLandsNearItsTargetWithHonestTimesAtConstantAndVariableRates) {
    // Variable rate seeks by reading up to the target: the first chunk is within a frame or two
    // of it, and each chunk's time is exactly the time its samples have in the decode of the whole
    // file. Constant rate seeks by scaling the byte position (fast at any depth): it lands on the
    // frame after the scaled position, and counting LAME's header frame in the file's length puts
    // the times after it up to one more frame (1152 samples at the file's end) before their
    // samples.
    UseDiskAudio(FDir.filePath("deep.raw"), 0);
    for (const char* name : {"noise60vbr.mp3", "noise60.mp3"}) {
        const int tolerance = QByteArray(name).contains("vbr") ? 2 : 1153;
        SCOPED_TRACE(name);
        const std::vector<double> ref =
            Channel(ReadS16(testpaths::fixture(QString(name).replace(".mp3", ".s16"))), 0);
        ASSERT_GT(ref.size(), size_t(50 * Rate));
        struct TChunk {
            int64_t Pts;
            std::vector<double> Left;
        };
        std::vector<TChunk> chunks;
        TRecorder recorder;
        {
            TFFPlayer player;
            recorder.Attach(player);
            player.DisableDisplay = true;
            player.StartTime = 40000000;
            player.PlayDuration = 1000000;
            player.SetAudioHook(true);
            player.SetOnAudioHook([&](QObject*, int64_t pts, uint8_t* data, int size, int, int) {
                const int16_t* s = reinterpret_cast<const int16_t*>(data);
                TChunk c{pts, {}};
                for (int i = 0; i < size / 2; i += 2)
                    c.Left.push_back(s[i]);
                chunks.push_back(std::move(c));
            });
            ASSERT_TRUE(player.OpenMedia(testpaths::fixture(name), nullptr, false));
            ASSERT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 20000));
            player.Stop(true);
        }
        ASSERT_GT(chunks.size(), size_t(10));
        const double frame = 26123.0; // µs
        EXPECT_NEAR(double(chunks.front().Pts), 40000000.0, 2 * frame);
        // The fourth chunk on: the first ones lack the bit reservoir of the frames before them.
        for (size_t i = 3; i < 8; ++i) {
            const size_t at = size_t(chunks[i].Pts * Rate / 1000000);
            const TAlignment a = Align(chunks[i].Left, 0, ref, at, 1024, 3000);
            EXPECT_GT(a.Correlation, 0.95) << i;
            EXPECT_GE(a.Lag, tolerance == 2 ? -2 : 0);
            EXPECT_LE(a.Lag, tolerance) << "samples between a chunk's time and its content";
        }
    }
}
