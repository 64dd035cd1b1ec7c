// cut --smart and split --smart, checked with independent tools: the decoded output is the
// source's decode of the range bit for bit (16-bit and float) and exactly as long, mp3val and
// mpg123 find nothing to say about it, pieces join back to the source, and where the frames
// cannot be copied the cut re-encodes and says why.
#include "CliTestSupport.h"
#include "common/Mp3Variants.h"
#include "common/TestPaths.h"
#include "job/CutRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace clitest;

namespace {

// ffmpeg's gapless decode of every channel, as raw bytes of the given sample format.
QByteArray RawDecode(const QString& file, const char* format) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-map", "0:a", "-f", format, "-"});
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        return QByteArray();
    return p.readAllStandardOutput();
}

// What mp3val and mpg123 say about a file beyond their usual lines; empty when all is well.
QString Complaints(const QString& file) {
    QString said;
    const TRun val = RunTool("mp3val", {file});
    for (const QString& line : val.Out.split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith("Analyzing") && !line.startsWith("INFO") && !line.startsWith("Done"))
            said += line + '\n';
    const TRun test = RunTool("mpg123", {"-t", "-q", file});
    if (test.ExitCode != 0 || !test.Err.trimmed().isEmpty())
        said += test.Err;
    return said;
}

class CliSmartCutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    // A source made with the ffmpeg tool, in the test's folder.
    QString Make(const QString& name, const QStringList& args) {
        const QString to = Path(name);
        const TRun run = RunTool("ffmpeg", QStringList{"-v", "error", "-y"} + args + QStringList{to});
        EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        return to;
    }
    QTemporaryDir Dir;
};

TEST_F(CliSmartCutTest, WithoutFadesTheRangeIsTheSourceBitForBit) {
    const QString cbr320 = Make("cbr320.mp3", {"-i", testpaths::fixture("sweep60.mp3"), "-t",
                                               "20", "-c:a", "libmp3lame", "-b:a", "320k"});
    struct TCase {
        QString Source;
        int Start, End; // seconds; an end past the audio's end cuts to that end
        int Channels;
    };
    const TCase cases[] = {
        {testpaths::fixture("tone200.mp3"), 0, 200, 2},          // the whole file
        {testpaths::fixture("tone200.mp3"), 37, 150, 2},         // CBR 128
        {cbr320, 1, 60, 2},                                      // CBR 320 to the end
        {testpaths::fixture("noise60vbr.mp3"), 5, 59, 2},        // VBR
        {testpaths::fixture("mono22k.mp3"), 3, 17, 1},           // MPEG-2 22.05 kHz mono
        {testpaths::fixture("sweep60.mp3"), 59, 60, 2},          // the last second
        {testpaths::fixture("tagged24cover.mp3"), 0, 60, 2},     // ID3v2.4 with a cover: last
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2-%3").arg(c.Source).arg(c.Start).arg(c.End).toStdString());
        const QString out = Path("out.mp3");
        const TRun run = RunCli({"cut", c.Source, "--start", QString::number(c.Start), "--end",
                                 QString::number(c.End), "--fade", "0", "--smart", "--force",
                                 "--output", out});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        EXPECT_FALSE(run.Err.contains("Notice: no smart")) << run.Err.toStdString();
        EXPECT_EQ(Complaints(out), QString());
        const qsizetype rate = Probe(c.Source).SampleRate;
        for (const auto& [format, bytes] : {std::pair{"s16le", 2}, std::pair{"f32le", 4}}) {
            const QByteArray src = RawDecode(c.Source, format), got = RawDecode(out, format);
            const qsizetype frame = bytes * c.Channels;
            const qsizetype from = c.Start * rate * frame;
            const qsizetype to = std::min<qsizetype>(c.End * rate * frame, src.size());
            ASSERT_GT(to, from);
            ASSERT_EQ(got.size(), to - from) << format;
            EXPECT_TRUE(got == src.mid(from, to - from)) << format << ": not the source's samples";
        }
    }
    // The source's tags and cover are kept (the last case's).
    const TRun tags = RunTool("ffprobe", {"-v", "error", "-show_entries",
                                          "format_tags=title:stream_disposition=attached_pic",
                                          "-of", "flat", Path("out.mp3")});
    EXPECT_TRUE(tags.Out.contains("attached_pic=1")) << tags.Out.toStdString();
}

TEST_F(CliSmartCutTest, SmartSplitPiecesJoinToTheSource) {
    for (const char* name : {"tone200.mp3", "noise60vbr.mp3"}) {
        SCOPED_TRACE(name);
        const QString source = testpaths::fixture(name), folder = Path(name);
        const TRun run = RunCli({"split", source, "--smart", "--fade", "0", "--at",
                                 "7.3,21,40.123", "--output-dir", folder, "--name", "p{n}"});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        const QByteArray src = RawDecode(source, "s16le");
        const qsizetype points[] = {0, 321930, 926100, 1769424, src.size() / 4};
        QByteArray joined;
        for (int n = 1; n <= 4; ++n) {
            const QString piece = folder + QStringLiteral("/p0%1.mp3").arg(n);
            const QByteArray pcm = RawDecode(piece, "s16le");
            EXPECT_TRUE(pcm == src.mid(points[n - 1] * 4, (points[n] - points[n - 1]) * 4))
                << "piece " << n << " is not its slice of the source";
            EXPECT_EQ(Complaints(piece), QString());
            joined += pcm;
        }
        EXPECT_TRUE(joined == src);
    }
}

QVector<float> Floats(const QByteArray& bytes) {
    QVector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.constData(), size_t(v.size()) * 4);
    return v;
}

// With fades only the fades are re-encoded: between them the decode is the source's bit for
// bit, the length is exact, and around each splice (±50 ms) the error against the ideal (the
// source's decode under the fade law) is no worse than the full re-encode's by more than 3 dB,
// with no step larger than the source's own there (+10 %): no click where copied frames meet
// re-encoded ones. A range whose fades meet is re-encoded whole, no worse than the full path.
TEST_F(CliSmartCutTest, WithFadesOnlyTheFadesAreReEncoded) {
    const QString cbr320 = Make("cbr320.mp3", {"-i", testpaths::fixture("sweep60.mp3"), "-t",
                                               "20", "-c:a", "libmp3lame", "-b:a", "320k"});
    struct TCase {
        QString Source;
        int Start, End; // seconds
        int Channels, Spf;
    };
    const TCase cases[] = {
        {testpaths::fixture("tone200.mp3"), 37, 61, 2, 1152},   // CBR 128
        {cbr320, 1, 19, 2, 1152},                               // CBR 320
        {testpaths::fixture("noise60vbr.mp3"), 5, 31, 2, 1152}, // VBR
        {testpaths::fixture("mono22k.mp3"), 3, 17, 1, 576},     // MPEG-2 22.05 kHz mono
        {testpaths::fixture("tone200.mp3"), 10, 15, 2, 1152},   // the fades meet: all re-encoded
    };
    const int64_t fadeUs = 3000000;
    for (const TCase& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2-%3").arg(c.Source).arg(c.Start).arg(c.End).toStdString());
        const QStringList range = {"--start", QString::number(c.Start), "--end",
                                   QString::number(c.End), "--force", "--output"};
        const TRun smart = RunCli(QStringList{"cut", c.Source, "--smart"} + range + QStringList{Path("smart.mp3")});
        ASSERT_EQ(smart.ExitCode, 0) << smart.Err.toStdString();
        EXPECT_FALSE(smart.Err.contains("Notice: no smart")) << smart.Err.toStdString();
        EXPECT_EQ(Complaints(Path("smart.mp3")), QString());
        const TRun full = RunCli(QStringList{"cut", c.Source} + range + QStringList{Path("full.mp3")});
        ASSERT_EQ(full.ExitCode, 0) << full.Err.toStdString();

        const int rate = Probe(c.Source).SampleRate, ch = c.Channels;
        const QVector<float> src = Floats(RawDecode(c.Source, "f32le"));
        const QVector<float> got = Floats(RawDecode(Path("smart.mp3"), "f32le"));
        const QVector<float> ref = Floats(RawDecode(Path("full.mp3"), "f32le"));
        const int64_t start = int64_t(c.Start) * rate, end = int64_t(c.End) * rate;
        const int64_t n = end - start, fade = fadeUs * rate / 1000000;
        ASSERT_EQ(got.size(), n * ch);
        ASSERT_EQ(ref.size(), n * ch);
        const int64_t startUs = c.Start * 1000000LL, endUs = c.End * 1000000LL;
        const auto ideal = [&](int64_t i, int k) {
            const int64_t t = (start + i) * 1000000 / rate;
            return src[(start + i) * ch + k] * float(FadeGain(t, startUs, endUs, fadeUs)) / 256.0f;
        };
        const auto error = [&](const QVector<float>& v, int64_t from, int64_t to) {
            double e = 0;
            for (int64_t i = from; i < to; ++i)
                for (int k = 0; k < ch; ++k)
                    e += std::pow(v[i * ch + k] - ideal(i, k), 2);
            return e;
        };
        if (2 * fade >= n) {
            EXPECT_LE(error(got, 0, n), error(ref, 0, n) * 2.0);
            continue;
        }
        // Between the splices (each within a frame past its fade), two frames in.
        const int64_t from = fade + 3 * c.Spf, to = n - fade - 3 * c.Spf;
        ASSERT_LT(from, to);
        EXPECT_EQ(std::memcmp(got.data() + from * ch, src.data() + (start + from) * ch,
                              size_t((to - from) * ch) * 4),
                  0)
            << "not the source's samples between the fades";

        const int64_t half = rate / 20 + c.Spf / 2;
        for (const int64_t centre : {fade + c.Spf / 2, n - fade - c.Spf / 2}) {
            SCOPED_TRACE(centre < n / 2 ? "head splice" : "tail splice");
            const double errGot = error(got, centre - half, centre + half);
            const double errRef = error(ref, centre - half, centre + half);
            double stepGot = 0, stepSrc = 0;
            for (int64_t i = centre - half; i < centre + half; ++i)
                for (int k = 0; k < ch; ++k) {
                    stepGot = std::max<double>(stepGot, std::abs(got[i * ch + k] - got[(i - 1) * ch + k]));
                    stepSrc = std::max<double>(
                        stepSrc, std::abs(src[(start + i) * ch + k] - src[(start + i - 1) * ch + k]));
                }
            EXPECT_LE(errGot, errRef * 2.0 + 1e-9) << "error " << errGot << " against " << errRef;
            EXPECT_LE(stepGot, stepSrc * 1.1) << "step " << stepGot << " against " << stepSrc;
        }
    }
}

// Where frames cannot be copied the cut is the full re-encode, with a notice that says why.
TEST_F(CliSmartCutTest, FallsBackToTheFullReEncodeWithANotice) {
    const QString layer2 = Make("layer2.mp3", {"-i", testpaths::fixture("sweep60.mp3"), "-t",
                                               "12", "-c:a", "mp2", "-b:a", "192k", "-f", "mp2"});
    struct TCase {
        QString Source;
        QStringList Options;
        const char* Why;
    };
    const TCase cases[] = {
        {testpaths::fixture("sweep60.mp3"), {"--volume", "50", "--fade", "0"}, "volume"},
        {testpaths::fixture("sweep60.mp3"), {"--volume", "80"}, "volume"}, // with fades too
        {layer2, {"--fade", "0"}, "not MPEG audio layer III"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Why);
        const QString out = Path("fallback.mp3");
        const TRun run = RunCli(QStringList{"cut", c.Source, "--start", "2", "--end", "10",
                                            "--smart", "--force", "--output", out} +
                                c.Options);
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains("Notice: no smart cut")) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Why)) << run.Err.toStdString();
        EXPECT_EQ(Decode(out).Data.size(), 8u * 44100);
    }
}

// Sources whose headers promise frames the copier cannot trust: a free-format first frame is
// refused with its reason, and valid headers over garbage are copied as they are, never read
// past their ends.
TEST_F(CliSmartCutTest, HostileSourcesAreRefusedOrCopiedSafely) {
    QFile in(testpaths::fixture("sweep60.mp3"));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray bytes = in.readAll();
    const int id3 = bytes.startsWith("ID3") ? 10 + (bytes[6] << 21 | bytes[7] << 14 |
                                                    bytes[8] << 7 | bytes[9])
                                            : 0;
    QByteArray free = bytes;
    free[id3 + 2] = char(free[id3 + 2] & 0x0F); // the first frame's bit rate: free format
    QFile f(Path("free.mp3"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(free);
    f.close();
    const TRun run = RunCli({"cut", Path("free.mp3"), "--start", "2", "--end", "4", "--fade", "0",
                             "--smart", "--output", Path("free-out.mp3")});
    EXPECT_TRUE(run.Err.contains("free-format")) << run.Err.toStdString();
    EXPECT_NE(run.ExitCode, -1) << "crashed";

    for (const QString& variant :
         {mp3variants::WithGarbagePayload(testpaths::fixture("sweep60.mp3"), Dir.path()),
          mp3variants::WithFirstFramesOnly(testpaths::fixture("sweep60.mp3"), Dir.path(), 200)}) {
        SCOPED_TRACE(variant.toStdString());
        ASSERT_FALSE(variant.isEmpty());
        const TRun cut = RunCli({"cut", variant, "--start", "1", "--end", "4", "--fade", "0",
                                 "--smart", "--force", "--output", Path("hostile.mp3")});
        ASSERT_NE(cut.ExitCode, -1) << "crashed: " << cut.Err.toStdString();
        if (cut.ExitCode == 0)
            EXPECT_TRUE(QFileInfo(Path("hostile.mp3")).size() > 0);
        else
            EXPECT_FALSE(QFileInfo::exists(Path("hostile.mp3")));
    }
}

} // namespace
