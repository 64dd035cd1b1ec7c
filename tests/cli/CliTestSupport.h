#pragma once
// Running snipwave-cli and checking what it wrote with independent tools (ffprobe, ffmpeg, sox).

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace clitest {

struct TRun {
    int ExitCode = -1; // -1 when it did not run or crashed
    QString Out, Err;
};

QString CliPath();
// Where the program's log goes in these runs: $XDG_STATE_HOME/snipwave/Log, the state home being
// the build tree's test-state unless the environment names one.
QString CliLogFolder();
TRun RunCli(const QStringList& args, int timeoutMs = 300000);
TRun RunTool(const QString& program, const QStringList& args);

// ffprobe's view of a file's container and first audio stream.
struct TProbe {
    bool Ok = false;
    double Duration = 0; // s of audio, the encoder delay not counted
    int SampleRate = 0;
    int Channels = 0;
    int BitRate = 0; // bits per second of the container
    QString Codec;
};
TProbe Probe(const QString& file);

// sox's levels of `length` seconds from `start` seconds: RMS and peak in dBFS (-inf as -200).
struct TLevels {
    bool Ok = false;
    double RmsDb = -200, PeakDb = -200;
};
TLevels Levels(const QString& file, double start, double length);

// The first channel of ffmpeg's gapless decode, -1..1, at the file's own rate.
struct TSamples {
    std::vector<float> Data;
    int Rate = 0;
    // RMS of the window of `length` seconds centred on `at` seconds; 0 outside the data.
    double Rms(double at, double length) const;
};
TSamples Decode(const QString& file);

// How well out, from outAt seconds, matches src from srcAt over `length` seconds when shifted by
// up to maxLag samples either way: the best lag (out sample i matches src sample i + lag) and
// the remaining difference in dB against src's own level.
struct TMatch {
    int Lag = 0;
    double ResidualDb = 0;
};
TMatch BestMatch(const TSamples& out, double outAt, const TSamples& src, double srcAt,
                 double length, int maxLag);

// A bash script run with $CLI naming the program, for what a QStringList cannot carry (names
// that are not UTF-8, pipes); its output as bytes.
struct TRawRun {
    int ExitCode = -1;
    QByteArray Out, Err;
};
TRawRun RunScript(const QString& script, int timeoutMs = 300000);
// The names in a folder as the system has them: bytes.
QList<QByteArray> RawEntries(const QString& folder);

// A clean decode of the whole file by ffmpeg: no error, not even a warning.
bool DecodesCleanly(const QString& file);

QByteArray Checksum(const QString& file);   // SHA-256 of the contents; empty when unreadable
QStringList Entries(const QString& folder); // names in a folder, sorted

} // namespace clitest
