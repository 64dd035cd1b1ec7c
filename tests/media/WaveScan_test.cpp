// The waveform's peaks must be the true extremes of what a decoder plays, on the cut's timeline,
// whichever decode thread made them; the overview must come first and the scan must stop at once.

#include "media/decode/TWavePeaks.h"
#include "media/decode/TWaveScan.h"

#include "common/TestPaths.h"
#include "media/FFLoad.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// ffmpeg's own decode of a fixture (made with the fixtures, not here: a process started from a
// test that runs threads would blind ThreadSanitizer): interleaved float samples.
std::vector<float> FfmpegDecode(const QString& name) {
    QFile file(testpaths::fixture(name + ".f32"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<float> samples(size_t(bytes.size()) / sizeof(float));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
    return samples;
}

struct TScanResult {
    TWavePeaks Peaks;
    bool Finished = false, Complete = false;
    bool OverviewBeforeExact = true; // no estimate arrived after an exact chunk
    int64_t ExactChunks = 0;
};

void Scan(TWaveScan& scan, const QString& file, TScanResult& r, int timeoutMs = 120000) {
    bool sawExact = false;
    scan.OnLayout = [&](const TWaveLayout& l) { r.Peaks.Reset(l.Rate, l.TotalSamples); };
    scan.OnChunk = [&](const TWaveChunk& c) {
        if (!c.Exact && sawExact)
            r.OverviewBeforeExact = false;
        sawExact = sawExact || c.Exact;
        r.ExactChunks += c.Exact;
        r.Peaks.Store(c.FirstBin, c.Min, c.Max, c.Exact);
    };
    scan.OnFinished = [&](bool complete) {
        r.Finished = true;
        r.Complete = complete;
    };
    scan.Start(file);
    QElapsedTimer t;
    t.start();
    while (!r.Finished && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

class WaveScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FFLoader().LibsLoaded(EncoderLibraries)) {
            ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
        }
    }
};

// Every column's min and max at three zooms against ffmpeg's samples over the same bins, for
// one and two decode threads (the second joins its piece mid-file), mono and stereo, CBR and VBR.
TEST_F(WaveScanTest, PeaksAreTheDecodedSamplesExtremesAtEveryZoom) {
    const std::pair<const char*, int> files[] = {
        {"bursts12", 2}, {"mono22k", 1}, {"noise60vbr", 2}}; // and their channels
    for (const auto& [name, channels] : files)
        for (int workers : {1, 2}) {
            SCOPED_TRACE(std::string(name) + " workers " + std::to_string(workers));
            const QString file = testpaths::fixture(QString::fromLatin1(name) + ".mp3");
            const std::vector<float> pcm = FfmpegDecode(QString::fromLatin1(name));
            ASSERT_FALSE(pcm.empty());
            TWaveScan scan;
            scan.SetWorkers(workers);
            TScanResult r;
            Scan(scan, file, r);
            ASSERT_TRUE(r.Finished && r.Complete);
            EXPECT_TRUE(r.OverviewBeforeExact);
            const TWavePeaks& peaks = r.Peaks;
            ASSERT_EQ(peaks.TotalSamples(), int64_t(pcm.size()) / channels);
            EXPECT_EQ(peaks.ExactBins(), peaks.BinCount());
            const int64_t total = peaks.TotalSamples();
            const int rate = peaks.Rate();
            // 10 ms, 100 ms, the whole file over 400 columns, and over 20 (many bin groups a
            // column, each first holding the overview's estimate), per column.
            for (int64_t perColumn :
                 {int64_t(rate / 100), int64_t(rate / 10), total / 400, total / 20}) {
                int64_t mismatches = 0;
                for (int64_t from = 0; from < total; from += perColumn) {
                    const int64_t to = std::min(total, from + perColumn);
                    const TPeakRange got = peaks.Range(from, to);
                    const int64_t b0 = from / TWavePeaks::BinSamples * TWavePeaks::BinSamples;
                    const int64_t b1 =
                        std::min(total, (to + TWavePeaks::BinSamples - 1) / TWavePeaks::BinSamples *
                                            TWavePeaks::BinSamples);
                    float lo = pcm[size_t(b0 * channels)], hi = lo;
                    for (int64_t i = b0 * channels; i < b1 * channels; ++i) {
                        lo = std::min(lo, pcm[size_t(i)]);
                        hi = std::max(hi, pcm[size_t(i)]);
                    }
                    if (!got.Exact || std::fabs(got.Min - lo) > 1e-6f ||
                        std::fabs(got.Max - hi) > 1e-6f)
                        ++mismatches;
                }
                EXPECT_EQ(mismatches, 0) << "at " << perColumn << " samples per column";
            }
        }
}

// The silence between the bursts is flat in both pictures, the bursts are not, and the louder
// burst is the higher in both.
TEST_F(WaveScanTest, SilenceIsFlatInTheOverviewAndTheExactPeaks) {
    TWaveScan scan;
    TScanResult r;
    Scan(scan, testpaths::fixture("bursts12.mp3"), r);
    ASSERT_TRUE(r.Complete);
    const int rate = r.Peaks.Rate();
    const auto at = [&](double from, double to) {
        return r.Peaks.Range(int64_t(from * rate), int64_t(to * rate));
    };
    EXPECT_EQ(at(4.3, 6.7).Max, 0.0f);
    EXPECT_EQ(at(4.3, 6.7).Min, 0.0f);
    EXPECT_GT(at(1.5, 3.5).Max, 0.45f);
    EXPECT_LT(at(1.5, 3.5).Max, 0.6f);
    EXPECT_GT(at(7.5, 9.5).Max, at(1.5, 3.5).Max + 0.2f);

    // The overview alone (a scan that keeps nothing exact): the silence is flat there too.
    TWavePeaks overview;
    TWaveScan first;
    bool done = false;
    first.OnLayout = [&](const TWaveLayout& l) { overview.Reset(l.Rate, l.TotalSamples); };
    first.OnChunk = [&](const TWaveChunk& c) {
        if (!c.Exact)
            overview.Store(c.FirstBin, c.Min, c.Max, false);
    };
    first.OnFinished = [&](bool) { done = true; };
    first.Start(testpaths::fixture("bursts12.mp3"));
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const auto ov = [&](double from, double to) {
        return overview.Range(int64_t(from * rate), int64_t(to * rate));
    };
    EXPECT_EQ(ov(4.3, 6.7).Max, 0.0f);
    EXPECT_GT(ov(1.5, 3.5).Max, 0.05f);
    EXPECT_GT(ov(7.5, 9.5).Max, 0.01f);
}

// Stop, a new Start and destruction mid-scan: each returns at once, and nothing of a cancelled
// scan reaches its owner afterwards.
TEST_F(WaveScanTest, AStoppedOrReplacedScanDeliversNothingMore) {
    const QString longFile = testpaths::fixture("tone200.mp3");
    for (int round = 0; round < 3; ++round) {
        TWaveScan scan;
        int staleChunks = 0;
        bool stopped = false;
        scan.OnChunk = [&](const TWaveChunk&) { staleChunks += stopped; };
        scan.Start(longFile);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5 * round);
        QElapsedTimer t;
        t.start();
        if (round == 2) {
            // Replaced by another file: only the new scan's results arrive.
            TScanResult r;
            Scan(scan, testpaths::fixture("mono22k.mp3"), r);
            EXPECT_TRUE(r.Complete);
            EXPECT_EQ(r.Peaks.Rate(), 22050);
            continue;
        }
        scan.Stop();
        stopped = true;
        EXPECT_LT(t.elapsed(), 2000);
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_EQ(staleChunks, 0);
    }
    // Destroyed while it decodes.
    auto scan = std::make_unique<TWaveScan>();
    scan->Start(longFile);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    scan.reset();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    // Not an MP3: the scan ends without a layout.
    TWaveScan other;
    TScanResult r;
    Scan(other, testpaths::fixture("notmp3.mp3"), r);
    EXPECT_TRUE(r.Finished);
    EXPECT_FALSE(r.Complete);
    EXPECT_EQ(r.Peaks.Rate(), 0);
}

} // namespace
