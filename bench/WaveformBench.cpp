// The waveform of a long file in the real window, offscreen: how long after the open the overview
// covers the whole file, how long until every peak is exact, and how late events posted to the
// window every 10 ms are handled meanwhile (the window must never wait for the scan).
//
//   bench_waveform FILE   (bench/waveform runs it on the 3-hour source and checks the bars)
#include "app/TCorvaneForm.h"
#include "app/TWaveAdjust.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config; // the waveform's setting must not reach the user's
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    TCorvaneForm form;
    form.show();
    form.WaveAdjust().SetShown(true);
    const TWavePeaks& peaks = form.WaveAdjust().Peaks();

    // A clock thread posts a stamped call every 10 ms; the main thread notes how late each runs.
    // Only calls posted once the open has returned count: the open itself (the probe fills the
    // panel) holds the main thread as it always has and is timed apart, as open_s; what is
    // measured here is the window while the peaks fill in.
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> stop{false};
    std::vector<double> lateMs;
    Clock::time_point openReturned = Clock::time_point::max(); // main thread only
    std::thread poster([&] {
        while (!stop) {
            const Clock::time_point posted = Clock::now();
            QMetaObject::invokeMethod(
                &form,
                [&lateMs, &openReturned, posted] {
                    if (posted >= openReturned)
                        lateMs.push_back(
                            std::chrono::duration<double, std::milli>(Clock::now() - posted)
                                .count());
                },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    QElapsedTimer t;
    t.start();
    form.OpenFile(QString::fromLocal8Bit(argv[1]));
    openReturned = Clock::now();
    const double opened = t.elapsed() / 1000.0;
    double overview = -1, exact = -1;
    while (exact < 0 && t.elapsed() < 600000) {
        app.processEvents(QEventLoop::AllEvents, 5);
        if (overview < 0 && peaks.BinCount() > 0 && peaks.KnownBins() == peaks.BinCount())
            overview = t.elapsed() / 1000.0;
        if (peaks.BinCount() > 0 && peaks.ExactBins() == peaks.BinCount())
            exact = t.elapsed() / 1000.0;
    }
    stop = true;
    poster.join();
    app.processEvents();
    const double audio = peaks.Rate() > 0 ? double(peaks.TotalSamples()) / peaks.Rate() : 0;
    std::sort(lateMs.begin(), lateMs.end());
    const double worst = lateMs.empty() ? 0 : lateMs.back();
    const double p99 = lateMs.empty() ? 0 : lateMs[lateMs.size() * 99 / 100];
    std::printf("audio_s=%.1f open_s=%.3f overview_s=%.3f exact_s=%.2f realtime=%.0fx "
                "events=%zu event_late_p99_ms=%.1f event_late_max_ms=%.1f\n",
                audio, opened, overview, exact, exact > 0 ? audio / exact : 0.0, lateMs.size(), p99,
                worst);
    form.close();
    return exact > 0 ? 0 : 1;
}
