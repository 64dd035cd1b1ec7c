#pragma once
// Shared pieces of the player tests: the player's libraries, waiting while the main thread keeps
// delivering events, SDL's disk driver as the capture of what was played, and the comparison of
// captured PCM with the ffmpeg tool's decode.

#include "media/play/TFFPlayer.h"

#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <vector>

namespace playtest {

// Binds the player's library set; fails the calling test when it cannot.
void LoadPlayerLibraries();

// Runs the main thread's events until pred holds or ms pass; pred's last value.
bool WaitUntil(const std::function<bool()>& pred, int ms);

// Points SDL's audio at a file: the disk driver writes exactly what the player mixed.
// delayMs: the driver's pause per device buffer (0 runs as fast as it can).
void UseDiskAudio(const QString& file, int delayMs);
// The "dummy" driver: plays nothing, in real time.
void UseDummyAudio();

std::vector<int16_t> ReadS16(const QString& file);
// One channel of interleaved stereo samples, as doubles.
std::vector<double> Channel(const std::vector<int16_t>& interleaved, int channel, int channels = 2);
// Index of the first sample whose magnitude exceeds limit; -1 when none does.
long FirstAbove(const std::vector<double>& x, double limit);
double Rms(const std::vector<double>& x, size_t from, size_t count);

// Best normalised correlation of out[outAt + i] with ref[refAt + i + lag] over count samples for
// lags within ±maxLag.
struct TAlignment {
    int Lag = 0;
    double Correlation = -1;
};
TAlignment Align(const std::vector<double>& out, size_t outAt, const std::vector<double>& ref,
                 size_t refAt, size_t count, int maxLag);
double Correlation(const std::vector<double>& out, size_t outAt, const std::vector<double>& ref,
                   size_t refAt, size_t count);

// Everything a player reported, in the order it arrived.
struct TRecorder {
    std::vector<int64_t> Positions;
    std::vector<TPlayState> States;
    bool Stopped() const;
    void Attach(TCustomPlayer& player);
};

} // namespace playtest
