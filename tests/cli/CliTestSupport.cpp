#include "CliTestSupport.h"

#include "common/TestPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

#include <dirent.h>

namespace clitest {

QString CliPath() {
    return testpaths::buildDir() + QStringLiteral("/snipwave-cli");
}

namespace {
// Runs program to its end (killed after timeoutMs); the exit code is -1 when it did not start,
// crashed or was killed.
TRawRun RunRaw(const QString& program, const QStringList& args, int timeoutMs,
               QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    // The program's log goes to the state folder: the build tree's, never the user's.
    if (!env.contains(QStringLiteral("XDG_STATE_HOME")))
        env.insert(QStringLiteral("XDG_STATE_HOME"), testpaths::buildDir() + "/test-state");
    p.setProcessEnvironment(env);
    p.start(program, args);
    TRawRun r;
    if (!p.waitForStarted(10000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = p.readAllStandardOutput();
    r.Err = p.readAllStandardError();
    return r;
}

TRun Run(const QString& program, const QStringList& args, int timeoutMs) {
    const TRawRun raw = RunRaw(program, args, timeoutMs);
    TRun r;
    r.ExitCode = raw.ExitCode;
    r.Out = QString::fromLocal8Bit(raw.Out);
    r.Err = QString::fromLocal8Bit(raw.Err);
    return r;
}
} // namespace

QString CliLogFolder() {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    return (state.isEmpty() ? testpaths::buildDir() + "/test-state" : state) + "/snipwave/Log";
}

TRun RunCli(const QStringList& args, int timeoutMs) {
    return Run(CliPath(), args, timeoutMs);
}

TRun RunTool(const QString& program, const QStringList& args) {
    return Run(program, args, 120000);
}

TProbe Probe(const QString& file) {
    TProbe probe;
    const TRun r = RunTool(
        "ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", file});
    if (r.ExitCode != 0)
        return probe;
    const QJsonObject root = QJsonDocument::fromJson(r.Out.toUtf8()).object();
    const QJsonObject format = root["format"].toObject();
    // LAME's encoder delay shows as the start time; what a gapless player plays is the rest.
    probe.Duration =
        format["duration"].toString().toDouble() - format["start_time"].toString().toDouble();
    probe.BitRate = format["bit_rate"].toString().toInt();
    for (const QJsonValue& v : root["streams"].toArray()) {
        const QJsonObject st = v.toObject();
        if (st["codec_type"].toString() == "audio") {
            probe.SampleRate = st["sample_rate"].toString().toInt();
            probe.Channels = st["channels"].toInt();
            probe.Codec = st["codec_name"].toString();
            break;
        }
    }
    probe.Ok = probe.SampleRate > 0;
    return probe;
}

TLevels Levels(const QString& file, double start, double length) {
    TLevels levels;
    const TRun r = RunTool("sox", {file, "-n", "trim", QString::number(start, 'f', 3),
                                   QString::number(length, 'f', 3), "stats"});
    if (r.ExitCode != 0)
        return levels;
    // sox prints the overall column first on each line of its statistics.
    auto value = [&](const QString& label) {
        const QRegularExpression re(label + QStringLiteral("\\s+(-?inf|-?[0-9.]+)"));
        const QRegularExpressionMatch m = re.match(r.Err);
        if (!m.hasMatch())
            return -200.0;
        const QString v = m.captured(1);
        return v.endsWith(QLatin1String("inf")) ? -200.0 : v.toDouble();
    };
    levels.RmsDb = value(QStringLiteral("RMS lev dB"));
    levels.PeakDb = value(QStringLiteral("Pk lev dB"));
    levels.Ok = r.Err.contains(QLatin1String("RMS lev dB"));
    return levels;
}

double TSamples::Rms(double at, double length) const {
    const long first = long((at - length / 2) * Rate), count = long(length * Rate);
    if (first < 0 || count <= 0 || size_t(first + count) > Data.size())
        return 0;
    double sum = 0;
    for (long i = first; i < first + count; ++i)
        sum += double(Data[i]) * Data[i];
    return std::sqrt(sum / double(count));
}

TSamples Decode(const QString& file) {
    TSamples samples;
    const TProbe probe = Probe(file);
    if (!probe.Ok)
        return samples;
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-f", "f32le", "-acodec", "pcm_f32le", "-"});
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000))
        return samples;
    const QByteArray raw = p.readAllStandardOutput();
    const size_t frames = size_t(raw.size()) / sizeof(float) / size_t(probe.Channels);
    const float* all = reinterpret_cast<const float*>(raw.constData());
    samples.Data.resize(frames);
    for (size_t i = 0; i < frames; ++i)
        samples.Data[i] = all[i * size_t(probe.Channels)];
    samples.Rate = probe.SampleRate;
    return samples;
}

TMatch BestMatch(const TSamples& out, double outAt, const TSamples& src, double srcAt,
                 double length, int maxLag) {
    TMatch best{0, 1e9};
    const long o = long(outAt * out.Rate), s = long(srcAt * src.Rate), n = long(length * out.Rate);
    if (o < 0 || s - maxLag < 0 || size_t(o + n) > out.Data.size() ||
        size_t(s + n + maxLag) > src.Data.size())
        return best;
    double level = 0;
    for (long i = 0; i < n; ++i)
        level += double(src.Data[s + i]) * src.Data[s + i];
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double diff = 0;
        for (long i = 0; i < n; ++i) {
            const double d = double(out.Data[o + i]) - src.Data[s + i + lag];
            diff += d * d;
        }
        const double db = 10 * std::log10(std::max(diff, 1e-12) / std::max(level, 1e-12));
        if (db < best.ResidualDb)
            best = {lag, db};
    }
    return best;
}

TRawRun RunScript(const QString& script, int timeoutMs) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CLI", CliPath());
    return RunRaw("bash", {"-c", script}, timeoutMs, env);
}

QList<QByteArray> RawEntries(const QString& folder) {
    QList<QByteArray> names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool DecodesCleanly(const QString& file) {
    const TRun decode =
        RunTool("ffmpeg", {"-v", "error", "-xerror", "-i", file, "-f", "null", "-"});
    return decode.ExitCode == 0 && decode.Err.trimmed().isEmpty();
}

QByteArray Checksum(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result();
}

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                  QDir::Name);
}

} // namespace clitest
