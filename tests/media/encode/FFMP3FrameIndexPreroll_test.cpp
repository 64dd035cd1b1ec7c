// The frame index must find exactly the frames the demuxer returns, at the same byte offsets,
// or a positioned cut would restamp packets wrongly.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"
#include "media/encode/input/FFMP3FrameIndex.h"

#include <gtest/gtest.h>

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

} // namespace
