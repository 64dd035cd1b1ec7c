#include "EngineTestSupport.h"

#include "media/FFLoad.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <cstdlib>

namespace enginetest {

void LoadEngineLibraries() {
    if (!FFLoader().LibsLoaded(EncoderLibraries)) {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
    }
}

TCommandResult RunTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    TCommandResult r;
    if (!p.waitForStarted(10000))
        return r;
    p.waitForFinished(120000);
    r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = p.readAllStandardOutput();
    r.Err = p.readAllStandardError();
    return r;
}

TProbe Probe(const QString& file) {
    TProbe probe;
    const TCommandResult r = RunTool(
        "ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", file});
    if (r.ExitCode != 0)
        return probe;
    const QJsonObject root = QJsonDocument::fromJson(r.Out).object();
    probe.Duration = root["format"].toObject()["duration"].toString().toDouble();
    probe.StartTime = root["format"].toObject()["start_time"].toString().toDouble();
    for (const QJsonValue& v : root["streams"].toArray()) {
        const QJsonObject st = v.toObject();
        if (st["codec_type"].toString() == "audio") {
            if (probe.AudioStreams++ == 0) {
                probe.SampleRate = st["sample_rate"].toString().toInt();
                probe.Channels = st["channels"].toInt();
                probe.Codec = st["codec_name"].toString();
            }
        } else if (st["codec_type"].toString() == "video") {
            ++probe.VideoStreams;
        }
    }
    probe.Ok = true;
    return probe;
}

double DecodedSeconds(const QString& file) {
    const TProbe p = Probe(file);
    if (!p.Ok || p.SampleRate <= 0 || p.Channels <= 0)
        return -1;
    return double(DecodeS16(file).size()) / p.Channels / p.SampleRate;
}

bool DecodesCleanly(const QString& file) {
    const TCommandResult r =
        RunTool("ffmpeg", {"-v", "error", "-xerror", "-i", file, "-f", "null", "-"});
    return r.ExitCode == 0 && r.Err.trimmed().isEmpty();
}

std::vector<int16_t> DecodeS16(const QString& file) {
    const TCommandResult r =
        RunTool("ffmpeg", {"-v", "error", "-i", file, "-f", "s16le", "-acodec", "pcm_s16le", "-"});
    std::vector<int16_t> samples(size_t(r.Out.size()) / 2);
    memcpy(samples.data(), r.Out.constData(), samples.size() * 2);
    return samples;
}

QByteArray ReadAll(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool HasXingLameHeader(const QString& file) {
    const QByteArray head = ReadAll(file).left(16384);
    qsizetype at = head.indexOf("Xing");
    if (at < 0)
        at = head.indexOf("Info");
    if (at < 0)
        return false;
    // With frame count, byte count, table of contents and quality present (flags 0x0F) the
    // LAME tag follows 120 bytes after the tag's name; its encoder string is LAME's own or, when
    // libavformat writes the header, libavcodec's.
    const QByteArray encoder = head.mid(at + 120, 4);
    return head.at(at + 7) == 0x0F && (encoder == "LAME" || encoder == "Lavc");
}

int PeakLevel(const QString& file) {
    int peak = 0;
    for (int16_t s : DecodeS16(file))
        peak = std::max(peak, std::abs(int(s)));
    return peak;
}

bool SetUpCut(TTestEngine& engine, const QString& src, const QString& dst, int64_t startUs,
              int64_t durationUs) {
    if (!engine.OpenInputFile(src))
        return false;
    engine.S().AudioCodecName = "libmp3lame";
    engine.S().StartTime = startUs;
    engine.S().RecordingTime = durationUs;
    engine.S().TotalDuration = durationUs;
    return engine.OpenOutputFile(dst, false) > 0;
}

void TTerminateLog::Add(const TTerminateInfo& info) {
    std::lock_guard<std::mutex> g(Lock);
    Events.push_back({info, IsMainThread()});
}

std::vector<TTerminateLog::TEvent> TTerminateLog::Snapshot() {
    std::lock_guard<std::mutex> g(Lock);
    return Events;
}

void TTerminateLog::Clear() {
    std::lock_guard<std::mutex> g(Lock);
    Events.clear();
}

bool TTerminateLog::HasFinalReport() {
    std::lock_guard<std::mutex> g(Lock);
    return !Events.empty() && Events.back().Info.TaskIndex == -1;
}

std::vector<int> TTerminateLog::TaskIndexes() {
    std::vector<int> result;
    for (const TEvent& e : Snapshot())
        result.push_back(e.Info.TaskIndex);
    return result;
}

} // namespace enginetest
