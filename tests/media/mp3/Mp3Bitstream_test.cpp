// The MP3 bitstream classes against real encoder output and against the readers that must
// understand what they write: side information read and written back bit for bit and consistent
// with the bit reservoir, the Info/LAME tag as the frame index (and so the demuxer's rules) reads
// it, the tag's CRC, and repacked frames that decode as before.
#include "common/TestPaths.h"
#include "media/FFLoad.h"
#include "media/mp3/FFMP3FrameEncoder.h"
#include "media/mp3/FFMP3FrameIndex.h"
#include "media/mp3/TMP3InfoTag.h"
#include "media/mp3/TMP3Repacker.h"
#include "media/mp3/TMP3SideInfo.h"
#include "media/mp3/TMP3SplicePlan.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray ReadAll(const QString& name) {
    QFile f(testpaths::fixture(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every frame of a fixture, walked by the frame index from the first audio frame (after the
// encoder's tag frame, whose length the first header gives).
TEST(Mp3Bitstream, SideInformationRoundTripsAndFollowsTheReservoir) {
    for (const char* name : {"tone200.mp3", "mono22k.mp3", "noise60vbr.mp3"}) {
        SCOPED_TRACE(name);
        const QByteArray bytes = ReadAll(QString::fromLatin1(name));
        ASSERT_GT(bytes.size(), 1000);
        const auto* d = reinterpret_cast<const unsigned char*>(bytes.constData());
        // The ffmpeg tool writes an ID3v2 tag before the encoder's tag frame.
        const int id3 = bytes.startsWith("ID3") ? 10 + (d[6] << 21 | d[7] << 14 | d[8] << 7 | d[9]) : 0;
        const int tagFrame = TMP3Header::FromBytes(d + id3).FrameLength();
        ASSERT_GT(tagFrame, 0);
        TMP3FrameIndex index;
        ASSERT_TRUE(index.Build(testpaths::fixture(QString::fromLatin1(name)), id3 + tagFrame));
        ASSERT_GT(index.Positions().size(), 100u);
        int reservoir = 0; // bytes of main data the next frame may reach back to
        int checked = 0;
        for (const int64_t at : index.Positions()) {
            const TMP3Header h = TMP3Header::FromBytes(d + at);
            ASSERT_EQ(h.Layer(), 3);
            const unsigned char* side = d + at + 4 + (h.Protected() ? 2 : 0);
            TMP3SideInfo info;
            ASSERT_TRUE(info.Parse(h, side));
            unsigned char back[32];
            std::memset(back, 0xA5, sizeof back);
            info.Write(back);
            ASSERT_EQ(std::memcmp(back, side, size_t(h.SideInfoSize())), 0) << "frame at " << at;
            // A frame's data begins no further back than the bytes left over before it, and its
            // granules fit between there and its end.
            EXPECT_LE(info.MainDataBegin, reservoir) << "frame at " << at;
            const int area = h.FrameLength() - h.MainDataOffset();
            EXPECT_LE(info.MainDataBytes(), info.MainDataBegin + area) << "frame at " << at;
            reservoir = std::min(info.MaxMainDataBegin(),
                                 info.MainDataBegin + area - info.MainDataBytes());
            ++checked;
        }
        EXPECT_EQ(checked, int(index.Positions().size()));
    }
}

// Tags built for the shapes a cut meets are read back as written: by the frame index (the
// demuxer's rules for where the padding starts) and by the tag reader.
TEST(Mp3Bitstream, InfoTagIsReadBackAsWritten) {
    struct TCase {
        uint32_t Shape; // a stream header
        bool Vbr;
        int Delay, Padding, Frames;
    };
    const TCase cases[] = {
        {0xFFFB9064u, false, 1105, 1311, 300},   // MPEG-1 44.1 kHz 128 kbit/s joint stereo
        {0xFFFBE044u, false, 0, 4095, 1},        // 320 kbit/s, extreme delay and padding
        {0xFFF310C4u, false, 4095, 529, 50},     // MPEG-2 22.05 kHz 8 kbit/s mono: tag needs more
        {0xFFFB5000u, true, 2000, 600, 77777},   // a VBR stream
        {0xFFE31044u, false, 700, 1000, 20},     // MPEG-2.5 11.025 kHz
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Shape);
        TMP3InfoTag tag;
        tag.FrameBytes.assign(size_t(c.Frames), 417);
        tag.Delay = c.Delay;
        tag.Padding = c.Padding;
        tag.Vbr = c.Vbr;
        tag.MusicCrc = 0xBEEF;
        const std::vector<unsigned char> frame = tag.Build(TMP3Header(c.Shape));
        const TMP3Header h = TMP3Header::FromBytes(frame.data());
        ASSERT_EQ(int(frame.size()), h.FrameLength());
        EXPECT_TRUE(h.SameShape(TMP3Header(c.Shape)));
        EXPECT_EQ(std::memcmp(frame.data() + 4 + h.SideInfoSize(), c.Vbr ? "Xing" : "Info", 4), 0);

        const TMP3InfoTag::TRead read = TMP3InfoTag::Read(frame.data(), int(frame.size()));
        EXPECT_TRUE(read.Found && read.Gapless);
        EXPECT_EQ(read.Delay, c.Delay);
        EXPECT_EQ(read.Padding, c.Padding);
        EXPECT_EQ(read.Frames, c.Frames);

        int64_t paddingStart = 0, taggedSamples = 0, taggedBytes = 0;
        ASSERT_TRUE(TMP3FrameIndex::ReadInfoTag(frame.data(), int(frame.size()), h.Value(),
                                                paddingStart, taggedSamples, &taggedBytes));
        const int spf = h.SamplesPerFrame();
        EXPECT_EQ(taggedSamples, int64_t(c.Frames) * spf);
        EXPECT_EQ(paddingStart, int64_t(c.Frames) * spf - c.Padding + 529);
        EXPECT_EQ(taggedBytes, int64_t(frame.size()) + int64_t(c.Frames) * 417);

        // The tag's own CRC covers everything before it; the music CRC is what was given.
        const size_t crcAt = size_t(4 + h.SideInfoSize() + 120 + 34);
        EXPECT_EQ(LameCrc16(frame.data(), int64_t(crcAt)), frame[crcAt] << 8 | frame[crcAt + 1]);
        EXPECT_EQ(frame[crcAt - 2] << 8 | frame[crcAt - 1], 0xBEEF);
    }
    // CRC-16/ARC's check value.
    EXPECT_EQ(LameCrc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0xBB3D);
}

} // namespace

namespace {

// ffmpeg's decode of raw frames (no tag, so nothing trimmed), 16-bit.
QByteArray DecodeFrames(const std::vector<TMP3Repacker::TFrame>& frames, const QString& name) {
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly))
        return QByteArray();
    for (const auto& frame : frames)
        f.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
    f.close();
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-f", "mp3", "-i", name, "-f", "s16le", "-"});
    return p.waitForFinished(60000) && p.exitCode() == 0 ? p.readAllStandardOutput()
                                                         : QByteArray();
}

// Repacking with room kept at the end moves only where main data sits: every frame's data is
// the same, the kept bytes end the last frame, and the decode is the same sample for sample,
// with a higher bit rate for the last frame only where the room asked for needs it.
TEST(Mp3Bitstream, RepackedFramesKeepTheirAudioAndLeaveTheRoomAskedFor) {
    QTemporaryDir dir;
    for (const char* name : {"tone200.mp3", "mono22k.mp3", "noise60vbr.mp3"})
        for (const int room : {0, 120, 300, 511}) {
            SCOPED_TRACE(std::string(name) + " room " + std::to_string(room));
            const QByteArray bytes = ReadAll(QString::fromLatin1(name));
            const auto* d = reinterpret_cast<const unsigned char*>(bytes.constData());
            const int id3 = bytes.startsWith("ID3") ? 10 + (d[6] << 21 | d[7] << 14 | d[8] << 7 | d[9]) : 0;
            TMP3FrameIndex index;
            ASSERT_TRUE(index.Build(testpaths::fixture(QString::fromLatin1(name)),
                                    id3 + TMP3Header::FromBytes(d + id3).FrameLength()));
            std::vector<TMP3Repacker::TFrame> frames;
            for (size_t i = 0; i < 40; ++i)
                frames.emplace_back(d + index.Positions()[i], d + index.Positions()[i + 1]);
            const std::vector<TMP3Repacker::TFrame> before = frames;
            TMP3SideInfo side;
            side.Parse(TMP3Header::FromBytes(d + index.Positions()[0]), d + index.Positions()[0] + 4);
            std::vector<unsigned char> reserve(size_t(std::min(room, side.MaxMainDataBegin())));
            for (size_t i = 0; i < reserve.size(); ++i)
                reserve[i] = uint8_t(i * 7 + 1);
            ASSERT_TRUE(TMP3Repacker::Repack(frames, reserve));

            std::vector<TMP3Repacker::TFrame> was, now;
            ASSERT_TRUE(TMP3Repacker::MainData(before, was));
            ASSERT_TRUE(TMP3Repacker::MainData(frames, now));
            EXPECT_EQ(was, now);
            // The kept bytes end the reservoir, which may reach back over several frames.
            std::vector<unsigned char> areas;
            for (const auto& f : frames)
                areas.insert(areas.end(), f.begin() + TMP3Header::FromBytes(f.data()).MainDataOffset(),
                             f.end());
            ASSERT_GE(areas.size(), reserve.size());
            EXPECT_TRUE(std::equal(reserve.begin(), reserve.end(), areas.end() - reserve.size()));
            for (size_t i = 0; i + 1 < frames.size(); ++i)
                ASSERT_EQ(frames[i].size(), before[i].size()) << "frame " << i;
            const QString stem = dir.filePath(QStringLiteral("%1-%2").arg(name).arg(room));
            const QByteArray pcm = DecodeFrames(before, stem + "-before.mp3");
            ASSERT_FALSE(pcm.isEmpty());
            EXPECT_TRUE(pcm == DecodeFrames(frames, stem + "-after.mp3"));
        }
}

// The plan of a cut with fades, over MPEG-1 and MPEG-2 frame sizes, sources with and without
// gapless information, ranges starting at 0 and on and off the frame grid: the copied frames lie
// wholly between the fades, the output decodes to exactly the range's length, each encoder's
// input sample 0 lands where its frames keep the source's positions, and the tail's encoder has
// a whole frame of real audio before the splice.
TEST(Mp3Bitstream, SplicePlanKeepsTheFramesOnTheSourceGrid) {
    struct TCase {
        int Spf, Lead;
        int64_t Skip, Start, End, Fade;
        bool Copies;
    };
    const TCase cases[] = {
        {1152, 1105, 1105, 0, 44100 * 60, 44100 * 3, true},
        {1152, 1105, 1105, 12345, 44100 * 600 + 7, 44100 * 3, true},
        {1152, 1105, 0, 0, 100000, 1, true},        // no gapless information, a tiny fade
        {1152, 1105, 1105, 1151, 1152 * 40, 1152 * 5, true},
        {576, 1105, 1105, 22050 * 10 + 3, 22050 * 70, 22050 * 3, true},
        {576, 1105, 576 + 529, 1, 22050 * 7, 22050 * 3, true},
        {1152, 1105, 1105, 0, 44100 * 6, 44100 * 3, false}, // the fades meet
        {1152, 1105, 1105, 1000, 1000 + 1152 * 2, 1152, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Spf << " " << c.Skip << " " << c.Start << ".." << c.End
                                        << " fade " << c.Fade);
        TMP3SplicePlan plan;
        plan.SamplesPerFrame = c.Spf;
        plan.Skip = c.Skip;
        plan.EncoderLead = c.Lead;
        ASSERT_TRUE(plan.Make(c.Start, c.End, c.Fade));
        EXPECT_EQ(plan.Copies(), c.Copies);
        const int64_t startRaw = c.Skip + c.Start, endRaw = c.Skip + c.End;
        // A gapless decoder drops Delay + 529 samples in front and Padding - 529 at the end.
        EXPECT_EQ(plan.Frames() * c.Spf - plan.Delay - plan.Padding, c.End - c.Start);
        EXPECT_EQ(plan.HeadBase * c.Spf + plan.Delay + 529, startRaw);
        if (!c.Copies)
            continue;
        EXPECT_GE(plan.HeadSplice * c.Spf, startRaw + c.Fade);
        EXPECT_LT((plan.HeadSplice - 1) * c.Spf, startRaw + c.Fade);
        EXPECT_LE(plan.TailSplice * c.Spf, endRaw - c.Fade);
        EXPECT_GT((plan.TailSplice + 1) * c.Spf, endRaw - c.Fade);
        // The encoder's priming ends before the range, and its sample i plays as source raw
        // sample base + lead + i, which is the source's decoded sample HeadInput + i.
        EXPECT_LE(plan.HeadBase * c.Spf + c.Lead, startRaw);
        EXPECT_EQ(plan.HeadInput + c.Skip, plan.HeadBase * c.Spf + c.Lead);
        EXPECT_EQ(plan.TailInput + c.Skip, plan.TailBase * c.Spf + c.Lead);
        EXPECT_GE((plan.TailSplice - plan.TailBase) * c.Spf - c.Lead, c.Spf);
        EXPECT_GE(plan.TailLast * c.Spf, endRaw - c.Spf);
        EXPECT_LT(plan.TailLast * c.Spf, endRaw);
    }
}

// The encoder's frames for splicing: whole frames of the asked shape and bit rate, each with its
// main data in itself, and input sample i decoded at raw sample Lead() + i (a click shows where).
TEST(Mp3Bitstream, EncoderFramesStandAloneAndKeepTheirLead) {
    if (!FFLoader().LibsLoaded(EncoderLibraries)) {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
    }
    QTemporaryDir dir;
    struct TCase {
        int Rate, Channels, Kbps;
        bool Joint;
    } const cases[] = {{44100, 2, 128, true}, {44100, 2, 320, false}, {22050, 1, 32, false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Rate << " " << c.Channels << " " << c.Kbps);
        FFMP3FrameEncoder encoder;
        QString error;
        ASSERT_TRUE(encoder.Open(c.Rate, c.Channels, c.Kbps, c.Joint, error)) << error.toStdString();
        const int click = 3000, n = c.Rate / 2;
        std::vector<int16_t> pcm(size_t(n * c.Channels), 0);
        for (int ch = 0; ch < c.Channels; ++ch)
            pcm[size_t(click * c.Channels + ch)] = 24000;
        std::vector<FFMP3FrameEncoder::TFrame> frames;
        // In two calls, the first not a whole number of frames.
        ASSERT_TRUE(encoder.Encode(pcm.data(), 1000, frames, error));
        ASSERT_TRUE(encoder.Encode(pcm.data() + 1000 * c.Channels, n - 1000, frames, error));
        ASSERT_TRUE(encoder.Finish(frames, error)) << error.toStdString();
        const int spf = encoder.SamplesPerFrame();
        EXPECT_GE(int64_t(frames.size()) * spf, n + encoder.Lead());
        for (const auto& f : frames) {
            ASSERT_GE(f.size(), 4u);
            const TMP3Header h = TMP3Header::FromBytes(f.data());
            ASSERT_EQ(h.FrameLength(), int(f.size()));
            EXPECT_EQ(h.Layer(), 3);
            EXPECT_EQ(h.SampleRate(), c.Rate);
            EXPECT_EQ(h.Channels(), c.Channels);
            EXPECT_EQ(h.Kbps(), c.Kbps);
            EXPECT_EQ(h.SamplesPerFrame(), spf);
            TMP3SideInfo side;
            ASSERT_TRUE(side.Parse(h, f.data() + 4 + (h.Protected() ? 2 : 0)));
            EXPECT_EQ(side.MainDataBegin, 0);
        }
        const QByteArray decoded = DecodeFrames(frames, dir.filePath("click.mp3"));
        ASSERT_FALSE(decoded.isEmpty());
        const auto* out = reinterpret_cast<const int16_t*>(decoded.constData());
        int peak = 0;
        for (int i = 0; i < decoded.size() / 2 / c.Channels; ++i)
            if (std::abs(out[i * c.Channels]) > std::abs(out[peak * c.Channels]))
                peak = i;
        EXPECT_NEAR(peak, click + encoder.Lead(), 4);
    }
}

} // namespace
