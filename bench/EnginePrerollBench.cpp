// How long a cut deep into a long MP3 takes to reach its first decoded block.
//
//   bench_engine_preroll [work folder]
//
// Makes (once) a 60-minute 128 kbit/s stereo MP3 with the ffmpeg command-line tool, then cuts
// 10 s at 58 min through the engine, five times with the packets before the decode preroll
// skipped and five times decoding everything, and prints the time from the run's start to the
// first block the audio hook sees. Exits with 1 when the median with the skip reaches 0.15 s.
// The same range is cut both ways, so LAME sees the same audio in every run.

#include "media/FFLoad.h"
#include "media/encode/loop/FFLoopRunState.h"
#include "media/encode/TFFmpeg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

class TBenchEngine : public TFFmpeg {
public:
    TBenchEngine() { InitOptions(); }
    TFFOptionState& S() { return FOpt; }
    void SetSkipBeforePreroll(bool skip) { RunStateOf(FRun).SkipBeforePreroll = skip; }
};

using Clock = std::chrono::steady_clock;

// Seconds from Start to the first hooked block, or -1 when the cut failed.
double TimeToFirstBlock(const QString& src, const QString& dst, bool skip) {
    TBenchEngine engine;
    engine.SetSkipBeforePreroll(skip);
    if (!engine.OpenInputFile(src)) {
        std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
        return -1;
    }
    engine.S().AudioCodecName = "libmp3lame";
    engine.S().StartTime = int64_t(58) * 60 * 1000000;
    engine.S().RecordingTime = 10 * 1000000;
    if (engine.OpenOutputFile(dst, false) < 0) {
        std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
        return -1;
    }
    Clock::time_point first{};
    bool seen = false;
    engine.OnAudioHookCallback = [&](TCustomFFmpeg*, int64_t, void*, int, int, int, int) {
        if (!seen) {
            first = Clock::now();
            seen = true;
        }
    };
    const Clock::time_point start = Clock::now();
    engine.Start(false, 0);
    if (engine.Failed() || !seen) {
        std::fprintf(stderr, "cut failed: %s\n", engine.ErrorText().c_str());
        return -1;
    }
    return std::chrono::duration<double>(first - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QDir().mkpath(dir);
    const QString src = QDir(dir).filePath("bench60min.mp3");
    if (!QFileInfo(src).isFile() || QFileInfo(src).size() < 50000000) {
        std::printf("making %s ...\n", qPrintable(src));
        const int rc =
            QProcess::execute("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                                         "-i", "sine=frequency=440:sample_rate=44100:duration=3600",
                                         "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", src});
        if (rc != 0)
            return 2;
    }
    if (!FFLoader().LoadLibs(EncoderLibraries)) {
        std::fprintf(stderr, "%s\n", FFLoader().LastError().c_str());
        return 2;
    }
    const QString dst = QDir(dir).filePath("bench_cut.mp3");
    std::vector<double> skipped, full;
    for (int i = 0; i < 5; ++i) {
        skipped.push_back(TimeToFirstBlock(src, dst, true));
        full.push_back(TimeToFirstBlock(src, dst, false));
        if (skipped.back() < 0 || full.back() < 0)
            return 2;
    }
    const double withSkip = Median(skipped), withoutSkip = Median(full);
    std::printf("first decoded block of a cut at 58 min of 60 (median of 5):\n"
                "  packets before the preroll skipped: %.3f s\n"
                "  every packet decoded:               %.3f s\n",
                withSkip, withoutSkip);
    std::printf("%s: target < 0.150 s\n", withSkip < 0.15 ? "PASS" : "FAIL");
    return withSkip < 0.15 ? 0 : 1;
}
