#include "EngineTestSupport.h"

#include "media/FFLoad.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <mutex>
#include <thread>
#include <gtest/gtest.h>

#include <cstdlib>

namespace enginetest {

void LoadEngineLibraries() {
    if (!FFLoader().LibsLoaded(EncoderLibraries)) {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
    }
}

TCommandResult RunTool(const QString& program, const QStringList& args) {
    // posix_spawn rather than QProcess: Qt starts a process vfork-style with calls the sanitizers
    // intercept in the child, which spoils ThreadSanitizer's record of the parent thread (its
    // later locks go unseen, and an engine's encoder thread then seems to race with it).
    TCommandResult r;
    QTemporaryDir dir;
    if (!dir.isValid())
        return r;
    const QByteArray outName = QFile::encodeName(dir.filePath("out")),
                     errName = QFile::encodeName(dir.filePath("err"));
    std::vector<QByteArray> argBytes{QFile::encodeName(program)};
    for (const QString& a : args)
        argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outName.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errName.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Out = ReadAll(dir.filePath("out"));
    r.Err = ReadAll(dir.filePath("err"));
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
