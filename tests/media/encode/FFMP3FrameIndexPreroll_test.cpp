// The frame index must find exactly the frames the demuxer returns, at the same byte offsets,
// or a positioned cut would restamp packets wrongly.

#include "EngineTestSupport.h"
#include "common/Mp3Variants.h"
#include "common/TestPaths.h"
#include "media/mp3/FFMP3FrameIndex.h"
#include "media/mp3/FFSharedFrameIndex.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QFile>

#include <random>
#include <thread>

using namespace enginetest;

namespace {

std::vector<int64_t> DemuxerPositions(const QString& name, int64_t* firstDuration) {
    std::vector<int64_t> pos;
    AVFormatContext* ic = nullptr;
    if (ff::avformat_open_input(&ic, name.toLocal8Bit().constData(), nullptr, nullptr) < 0)
        return pos;
    AVPacket* pkt = ff::av_packet_alloc();
    int64_t expectedDts = AV_NOPTS_VALUE;
    while (ff::av_read_frame(ic, pkt) >= 0) {
        // A cover picture is a packet of its own stream, not a frame.
        if (ic->streams[pkt->stream_index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            ff::av_packet_unref(pkt);
            continue;
        }
        if (pos.empty())
            *firstDuration = pkt->duration;
        // Timestamps run on by whole frames, which is what restamping relies on.
        if (expectedDts != AV_NOPTS_VALUE) {
            EXPECT_EQ(pkt->dts, expectedDts);
        }
        expectedDts = pkt->dts + pkt->duration;
        pos.push_back(pkt->pos);
        ff::av_packet_unref(pkt);
    }
    ff::av_packet_free(&pkt);
    ff::avformat_close_input(&ic);
    return pos;
}

TEST(MP3FrameIndexTest, FindsTheDemuxersFramesInTaggedCbrAndMpeg2Files) {
    LoadEngineLibraries();
    for (const char* fixture : {"tone200.mp3", "tagged.mp3", "mono22k.mp3"}) {
        SCOPED_TRACE(fixture);
        int64_t duration = 0;
        const std::vector<int64_t> expected =
            DemuxerPositions(testpaths::fixture(fixture), &duration);
        ASSERT_GT(expected.size(), 100u);
        TMP3FrameIndex index;
        ASSERT_TRUE(index.Build(testpaths::fixture(fixture), expected.front()));
        EXPECT_EQ(index.Positions(), expected);
        EXPECT_TRUE(index.ReachedEnd());
    }
}

// Near the end of a file whose info tag agrees with it, only the frames from about the wanted one
// on are walked, and they get the numbers and positions the demuxer gives them.
TEST(MP3FrameIndexTest, CountsBackFromTheEndWhenTheTagAgreesWithTheFile) {
    LoadEngineLibraries();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString id3v1 = mp3variants::WithId3v1(testpaths::fixture("tone200.mp3"), dir.path());
    ASSERT_FALSE(id3v1.isEmpty());
    for (const QString& name :
         {testpaths::fixture("tone200.mp3"), testpaths::fixture("tagged.mp3"),
          testpaths::fixture("mono22k.mp3"), testpaths::fixture("noise60vbr.mp3"),
          testpaths::fixture("withcover.mp3"), id3v1}) {
        SCOPED_TRACE(name.toStdString());
        int64_t duration = 0;
        const std::vector<int64_t> expected = DemuxerPositions(name, &duration);
        ASSERT_GT(expected.size(), 100u);
        TMP3FrameIndex full;
        ASSERT_TRUE(full.Build(name, expected.front()));
        const int64_t total = int64_t(expected.size());
        for (const int64_t wanted : {total * 3 / 4, total - 1, total + 5, int64_t(INT64_MAX)}) {
            SCOPED_TRACE(wanted);
            TMP3FrameIndex tail;
            ASSERT_TRUE(tail.Build(name, expected.front(), wanted));
            EXPECT_GT(tail.FirstNumber(), total / 2);
            EXPECT_LE(tail.FirstNumber(), std::min(wanted, total - 1));
            EXPECT_EQ(tail.FrameCount(), total);
            EXPECT_TRUE(tail.ReachedEnd());
            EXPECT_TRUE(std::equal(tail.Positions().begin(), tail.Positions().end(),
                                   expected.begin() + tail.FirstNumber()));
            EXPECT_EQ(tail.PaddingStart(), full.PaddingStart());
            EXPECT_EQ(tail.AudioEndSample(), full.AudioEndSample());
        }
        // Frames early in the file are found by walking from the start, as ever.
        TMP3FrameIndex head;
        ASSERT_TRUE(head.Build(name, expected.front(), total / 4));
        EXPECT_EQ(head.FirstNumber(), 0);
        EXPECT_EQ(head.Positions(), expected);
    }
}

// A file that holds more or fewer frames than its tag counts is walked from its start, so that
// every frame keeps the number a read from the start gives it.
TEST(MP3FrameIndexTest, WalksFromTheStartWhenTheFileDisagreesWithItsTag) {
    LoadEngineLibraries();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString tone = testpaths::fixture("tone200.mp3");
    for (const QString& name : {mp3variants::WithFramesAppended(tone, dir.path(), 20),
                                mp3variants::WithoutMiddleFrame(tone, dir.path())}) {
        ASSERT_FALSE(name.isEmpty());
        SCOPED_TRACE(name.toStdString());
        int64_t duration = 0;
        const std::vector<int64_t> expected = DemuxerPositions(name, &duration);
        ASSERT_GT(expected.size(), 100u);
        TMP3FrameIndex index;
        ASSERT_TRUE(index.Build(name, expected.front(), int64_t(expected.size()) - 10));
        EXPECT_EQ(index.FirstNumber(), 0);
        EXPECT_EQ(index.Positions(), expected);
        EXPECT_TRUE(index.ReachedEnd());
    }
}

// An MPEG-1 layer III stream of frames at the given bit-rate indexes, behind a frame with an info
// tag that counts them, with random payloads that hold a false frame header each. Only headers
// matter to the index, so the payload need not be audio. *positions gets where the frames are.
QByteArray SyntheticStream(const std::vector<int>& bitrates, std::vector<int64_t>* positions) {
    std::mt19937 random(7);
    auto put32 = [](QByteArray& b, int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = char(v >> (24 - 8 * i));
    };
    QByteArray frames;
    for (size_t i = 0; i < bitrates.size(); ++i) {
        const uint32_t h = 0xFFFB0000u | uint32_t(bitrates[i]) << 12 | uint32_t(i % 3 == 0) << 9;
        const int length = TMP3FrameIndex::FrameLength(h, nullptr, nullptr);
        QByteArray frame(length, '\0');
        for (char& c : frame)
            c = char(random());
        put32(frame, 0, h);
        const uint32_t fake = 0xFFFB0000u | uint32_t(1 + random() % 14) << 12;
        put32(frame, 4 + int(random() % uint32_t(length - 8)), fake);
        positions->push_back(frames.size());
        frames += frame;
    }
    QByteArray info(TMP3FrameIndex::FrameLength(0xFFFB9000u, nullptr, nullptr), '\0');
    put32(info, 0, 0xFFFB9000u);
    info.replace(36, 8, QByteArray("Info\0\0\0\3", 8)); // frame and byte counts
    put32(info, 44, uint32_t(bitrates.size()));
    put32(info, 48, uint32_t(info.size() + frames.size()));
    info.replace(52, 9, "LAME3.100");
    for (int64_t& p : *positions)
        p += info.size();
    return info + frames;
}

// A variable bit rate that spends much more on the end than on average makes the first guess of
// where to begin fall short; false headers in the audio data must not be taken for frames.
TEST(MP3FrameIndexTest, CountingBackSurvivesALoudEndAndFalseHeaders) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::vector<int> bitrates(4000, 1);                       // 32 kbit/s
    std::fill(bitrates.begin() + 3000, bitrates.end(), 14);   // 320 kbit/s
    std::vector<int64_t> expected;
    const QByteArray bytes = SyntheticStream(bitrates, &expected);
    const QString name = dir.filePath("loud-end.mp3");
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    TMP3FrameIndex full;
    ASSERT_TRUE(full.Build(name, expected.front()));
    ASSERT_EQ(full.Positions(), expected);
    // From frame 2990 on the frames fill most of the file: no walk from the end then.
    TMP3FrameIndex most;
    ASSERT_TRUE(most.Build(name, expected.front(), 2990));
    EXPECT_EQ(most.FirstNumber(), 0);
    EXPECT_EQ(most.Positions(), expected);
    for (const int64_t wanted : {int64_t(3500), int64_t(3400), int64_t(3999)}) {
        SCOPED_TRACE(wanted);
        TMP3FrameIndex tail;
        ASSERT_TRUE(tail.Build(name, expected.front(), wanted));
        EXPECT_GT(tail.FirstNumber(), 2000);
        EXPECT_LE(tail.FirstNumber(), wanted);
        EXPECT_EQ(tail.FrameCount(), 4000);
        EXPECT_TRUE(std::equal(tail.Positions().begin(), tail.Positions().end(),
                               expected.begin() + tail.FirstNumber()));
    }
}

TEST(MP3FrameIndexTest, RefusesWhatIsNotALayerThreeFrame) {
    TMP3FrameIndex index;
    EXPECT_FALSE(index.Build(testpaths::fixture("notmp3.mp3"), 0));
    EXPECT_FALSE(index.Build(testpaths::fixture("tone200.mp3"), 1)); // not at a header
    EXPECT_FALSE(index.Build(testpaths::fixture("no-such-file.mp3"), 0));
    EXPECT_EQ(TMP3FrameIndex::FrameLength(0xFFFB0000u, nullptr, nullptr), 0); // free format
    EXPECT_EQ(TMP3FrameIndex::FrameLength(0xFFFD9000u, nullptr, nullptr), 0); // layer II
    int samples = 0, rate = 0;
    EXPECT_EQ(TMP3FrameIndex::FrameLength(0xFFFB9200u, &samples, &rate), 418); // 128k, padded
    EXPECT_EQ(samples, 1152);
    EXPECT_EQ(rate, 44100);
}

// The audio must end (at the padding or the last tagged frame) right after the last sample a full
// decode gives, counted from the first frame as the demuxer counts (its start time is the skipped
// encoder delay).
TEST(MP3FrameIndexTest, PaddingStartsAfterTheLastDecodedSample) {
    LoadEngineLibraries();
    for (const char* fixture : {"tone200.mp3", "mono22k.mp3", "noise60vbr.mp3", "withcover.mp3"}) {
        SCOPED_TRACE(fixture);
        const QString name = testpaths::fixture(fixture);
        AVFormatContext* ic = nullptr;
        ASSERT_GE(ff::avformat_open_input(&ic, name.toLocal8Bit().constData(), nullptr, nullptr),
                  0);
        ASSERT_GE(ff::avformat_find_stream_info(ic, nullptr), 0);
        int audio = -1;
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                audio = int(i);
        ASSERT_GE(audio, 0);
        const AVStream* st = ic->streams[audio];
        const int channels = st->codecpar->ch_layout.nb_channels;
        const int64_t skipped = ff::av_rescale_q(st->start_time, st->time_base,
                                                 AVRational{1, st->codecpar->sample_rate});
        AVPacket* pkt = ff::av_packet_alloc();
        int64_t first = -1;
        while (first < 0 && ff::av_read_frame(ic, pkt) >= 0) {
            if (pkt->stream_index == audio)
                first = pkt->pos;
            ff::av_packet_unref(pkt);
        }
        ff::av_packet_free(&pkt);
        ff::avformat_close_input(&ic);

        TMP3FrameIndex index;
        ASSERT_TRUE(index.Build(name, first));
        const int64_t decoded = int64_t(DecodeS16(name).size()) / channels;
        ASSERT_GT(decoded, 0);
        // A stream copied by FFmpeg's muxer may claim no padding; then the frames end first.
        EXPECT_EQ(std::min(index.PaddingStart(), index.TaggedSamples()), skipped + decoded);
        EXPECT_EQ(index.TaggedSamples(),
                  int64_t(index.Positions().size()) * index.SamplesPerFrame());
    }
}

// Tasks of one split ask for the index at once: one walk, one index for all of them.
TEST(MP3FrameIndexTest, SharedIndexIsBuiltOnceForConcurrentReaders) {
    LoadEngineLibraries();
    int64_t duration = 0;
    const QString name = testpaths::fixture("tone200.mp3");
    const std::vector<int64_t> expected = DemuxerPositions(name, &duration);
    ASSERT_FALSE(expected.empty());
    TSharedFrameIndex shared;
    std::shared_ptr<const TMP3FrameIndex> got[4];
    std::vector<std::thread> readers;
    for (auto& g : got)
        readers.emplace_back([&] { g = shared.Get(name, expected.front()); });
    for (std::thread& t : readers)
        t.join();
    ASSERT_TRUE(got[0]);
    for (const auto& g : got)
        EXPECT_EQ(g.get(), got[0].get());
    EXPECT_EQ(got[0]->Positions(), expected);
    // Another start position is another index; one that cannot be built gives none.
    EXPECT_NE(shared.Get(name, expected[1]).get(), got[0].get());
    EXPECT_EQ(shared.Get(name, expected[1] + 1), nullptr);
}

} // namespace
