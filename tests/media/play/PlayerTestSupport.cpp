#include "PlayerTestSupport.h"

#include "media/FFLoad.h"
#include "media/MyUtils.h"

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

namespace playtest {

void LoadPlayerLibraries() {
    if (!FFLoader().LibsLoaded(PlayerLibraries)) {
        ASSERT_TRUE(FFLoader().LoadLibs(PlayerLibraries)) << FFLoader().LastError();
    }
}

bool WaitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > ms)
            return pred();
        PumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void UseDiskAudio(const QString& file, int delayMs) {
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", file.toLocal8Bit());
    qputenv("SDL_DISKAUDIODELAY", QByteArray::number(delayMs));
}

void UseDummyAudio() {
    qputenv("SDL_AUDIODRIVER", "dummy");
}

std::vector<int16_t> ReadS16(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    std::vector<int16_t> samples(size_t(bytes.size()) / 2);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

std::vector<double> Channel(const std::vector<int16_t>& interleaved, int channel, int channels) {
    std::vector<double> out;
    out.reserve(interleaved.size() / size_t(channels));
    for (size_t i = size_t(channel); i < interleaved.size(); i += size_t(channels))
        out.push_back(interleaved[i]);
    return out;
}

long FirstAbove(const std::vector<double>& x, double limit) {
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > limit)
            return long(i);
    return -1;
}

double Rms(const std::vector<double>& x, size_t from, size_t count) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count && i < x.size(); ++i, ++n)
        sum += x[i] * x[i];
    return n > 0 ? std::sqrt(sum / double(n)) : 0;
}

double Correlation(const std::vector<double>& out, size_t outAt, const std::vector<double>& ref,
                   size_t refAt, size_t count) {
    if (outAt + count > out.size() || refAt + count > ref.size())
        return -1;
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 0; i < count; ++i) {
        const double x = out[outAt + i], y = ref[refAt + i];
        xy += x * y;
        xx += x * x;
        yy += y * y;
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : -1;
}

TAlignment Align(const std::vector<double>& out, size_t outAt, const std::vector<double>& ref,
                 size_t refAt, size_t count, int maxLag) {
    TAlignment best;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        if (long(refAt) + lag < 0)
            continue;
        const double c = Correlation(out, outAt, ref, size_t(long(refAt) + lag), count);
        if (c > best.Correlation) {
            best.Correlation = c;
            best.Lag = lag;
        }
    }
    return best;
}

bool TRecorder::Stopped() const {
    return !States.empty() && States.back() == psStop;
}

void TRecorder::Attach(TCustomPlayer& player) {
    player.SetOnPosition([this](QObject*, int64_t pts) { Positions.push_back(pts); });
    player.SetOnState([this](QObject*, TPlayState state) { States.push_back(state); });
}

} // namespace playtest
