#include "CliTestSupport.h"

#include "common/TestPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

namespace clitest {

QString CliPath() {
    return testpaths::buildDir() + QStringLiteral("/snipwave-cli");
}

namespace {
TRun Run(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.start(program, args);
    TRun r;
    if (!p.waitForStarted(10000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.Err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}
} // namespace

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
    probe.Duration = format["duration"].toString().toDouble();
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
