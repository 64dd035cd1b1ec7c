// The frame index must find exactly the frames the demuxer returns, at the same byte offsets,
// or a positioned cut would restamp packets wrongly.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/encode/input/FFMP3FrameIndex.h"
#include "media/encode/input/FFSharedFrameIndex.h"

#include <gtest/gtest.h>

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
        if (pos.empty())
            *firstDuration = pkt->duration;
        // Timestamps run on by whole frames, which is what restamping relies on.
        if (expectedDts != AV_NOPTS_VALUE)
            EXPECT_EQ(pkt->dts, expectedDts);
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
