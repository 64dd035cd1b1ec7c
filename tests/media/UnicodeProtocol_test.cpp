// File names libavformat would misread: opened, read, seeked, sized and written through our own
// I/O, checked against the files themselves and ffprobe.
#include "common/TestPaths.h"
#include "media/AVPtr.h"
#include "media/FFEntryPoints.h"
#include "media/FFLoad.h"
#include "media/FileNameBytes.h"
#include "media/UnicodeProtocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

#include <sys/stat.h>

namespace {

const QString UnicodeName = QString::fromUtf8("Ünïcødé 歌.mp3");

class UnicodeProtocolTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(FFLoader().LoadLibs(DecoderLibraries)) << FFLoader().LastError();
        RegisterUnicodeProtocol();
    }

    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Source = testpaths::fixture("tone200.mp3");
        ASSERT_TRUE(QFileInfo::exists(Source)) << Source.toStdString();
        SavedCurrent = QDir::currentPath();
        // Relative names are where a ":" before any "/" can occur.
        ASSERT_TRUE(QDir::setCurrent(Dir.path()));
    }
    void TearDown() override { QDir::setCurrent(SavedCurrent); }

    QString CopySource(const QString& name) {
        const QString target = Dir.filePath(name);
        EXPECT_TRUE(QFile::copy(Source, target)) << target.toStdString();
        return target;
    }

    QTemporaryDir Dir;
    QString Source;
    QString SavedCurrent;
};

TEST_F(UnicodeProtocolTest, NamesLibavformatWouldMisreadTakeTheProtocol) {
    const std::pair<QString, bool> names[] = {
        {"/music/a.mp3", false},
        {"/music/" + UnicodeName, false}, // plain UTF-8: fine either way
        {"relative/dir/b.mp3", false},
        {"/music/live: part 1.mp3", false}, // the ":" comes after a "/"
        {"a:b.mp3", true},
        {"C:\\Music\\a.mp3", true}, // no drive letters here: one odd file name
        {":leading.mp3", true},
        {"HTTP:upper.mp3", true}, // protocol names are case-sensitive
        {"stream:x.mp3", true},   // an old protocol name libavformat no longer has
        {"subfile,,start,0,end,0,,:/x.mp3", true},
        {"subfile,a.mp3", true},
        {QString("bad") + QChar(0xD800) + ".mp3", true}, // not text in any charset
        {"http://example.com/" + UnicodeName, false},
        {"pipe:1", false},
        {"unicode:utf8:/music/a.mp3", false}, // already wrapped
    };
    for (const auto& [name, wide] : names)
        EXPECT_EQ(NeedsWideProtocol(name), wide) << name.toStdString();
}

TEST_F(UnicodeProtocolTest, URLConversions) {
    const QString odd = QString::fromUtf8("a:b 歌.mp3");
    const QByteArray url = FileNameToURL(odd);
    EXPECT_EQ(url, QByteArray("unicode:utf8:") + odd.toUtf8());
    EXPECT_TRUE(IsWideURL(url));
    EXPECT_TRUE(IsWideURL(url.constData()));
    EXPECT_EQ(URLToFileName(url), odd);
    EXPECT_EQ(URLToFileName(url.constData()), odd);

    const QString plain = "/music/" + UnicodeName;
    EXPECT_EQ(FileNameToURL(plain), plain.toUtf8());
    EXPECT_FALSE(IsWideURL(FileNameToURL(plain)));
    EXPECT_EQ(URLToFileName(plain.toUtf8()), plain);

    EXPECT_FALSE(IsWideURL("unicode:utf8:")); // the bare prefix names nothing
    EXPECT_FALSE(IsWideURL(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(IsWideURL("unicode:utf8:x"));

    // Long names are never cut short (a cut name would open another file).
    const QString longName = QString("x:") + QString(3000, QChar(0x6B4C));
    EXPECT_EQ(URLToFileName(FileNameToURL(longName)), longName);
}

TEST_F(UnicodeProtocolTest, OpensReadsSeeksAndSizesThroughLibavformat) {
    const QString colonName = "a:b.mp3";
    const QString spacedName = QString::fromUtf8("live: 歌 Ünï.mp3");
    CopySource(colonName);
    CopySource(spacedName);
    const QString unicodePath = CopySource(UnicodeName);
    const qint64 size = QFileInfo(Source).size();

    struct TCase {
        QString Name;
        bool Wide;
    };
    const TCase cases[] = {
        {colonName, true},
        {spacedName, true},
        {unicodePath, false},                         // libavformat's own file protocol
        {QString(WideURLPrefix) + unicodePath, true}, // the same file through ours
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name.toStdString());
        AVInputContextPtr ic;
        ASSERT_EQ(OpenInputFile(InOut(ic), test.Name, nullptr, nullptr), 0);
        EXPECT_EQ(IsWideIOContext(ic->pb), test.Wide);
        EXPECT_EQ(QFileInfo(URLToFileName(ic->url)).canonicalFilePath(),
                  QFileInfo(test.Wide ? URLToFileName(FileNameToURL(test.Name)) : test.Name)
                      .canonicalFilePath());
        ASSERT_GE(ff::avformat_find_stream_info(ic.get(), nullptr), 0);
        EXPECT_NEAR(ic->duration / double(AV_TIME_BASE), 200.0, 0.2);
        EXPECT_EQ(ff::avio_size(ic->pb), size);

        AVPacketPtr packet = MakePacket();
        ASSERT_EQ(ff::av_read_frame(ic.get(), packet.get()), 0);
        ff::av_packet_unref(packet.get());
        const AVStream* stream = ic->streams[0];
        ASSERT_GE(ff::av_seek_frame(ic.get(), -1, 100 * int64_t(AV_TIME_BASE), 0), 0);
        ASSERT_EQ(ff::av_read_frame(ic.get(), packet.get()), 0);
        EXPECT_NEAR(packet->pts * av_q2d(stream->time_base), 100.0, 0.5);
    }
}

// A name that is not UTF-8 opens the file with exactly its bytes, not the one Qt's lossy
// encoding would name (here a decoy holding no audio).
TEST_F(UnicodeProtocolTest, NamesThatAreNotUtf8OpenTheFileOfTheirBytes) {
    const QByteArray folder = QFile::encodeName(Dir.path()) + '/';
    const QByteArray bytes = folder + "x\xff.mp3";
    ASSERT_TRUE(QFile::copy(Source, Dir.filePath("plain.mp3")));
    ASSERT_EQ(::rename(QFile::encodeName(Dir.filePath("plain.mp3")).constData(), bytes.constData()),
              0);
    QFile decoy(Dir.filePath(QString::fromUtf8("x\uFFFD.mp3")));
    ASSERT_TRUE(decoy.open(QIODevice::WriteOnly));
    decoy.write(QByteArray(4096, 'z'));
    decoy.close();

    const QString name = DecodeFileName(bytes);
    AVInputContextPtr ic;
    ASSERT_EQ(OpenInputFile(InOut(ic), name, nullptr, nullptr), 0);
    EXPECT_TRUE(IsWideIOContext(ic->pb));
    EXPECT_EQ(URLToFileName(ic->url), name);
    ASSERT_GE(ff::avformat_find_stream_info(ic.get(), nullptr), 0);
    EXPECT_NEAR(ic->duration / double(AV_TIME_BASE), 200.0, 0.2);

    // Written under the same kind of name, the file gets exactly those bytes.
    AVIOContext* pb = nullptr;
    const QByteArray written = folder + "out\xe9\x80.bin";
    ASSERT_EQ(OpenIOContext(&pb, DecodeFileName(written), AVIO_FLAG_WRITE), 0);
    ff::avio_write(pb, reinterpret_cast<const unsigned char*>("data"), 4);
    EXPECT_EQ(CloseIOContext(&pb), 0);
    struct stat st {};
    ASSERT_EQ(::stat(written.constData(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

TEST_F(UnicodeProtocolTest, TheSizeQueryDoesNotMoveTheReadPosition) {
    CopySource("size:query.mp3");
    AVInputContextPtr ic;
    ASSERT_EQ(OpenInputFile(InOut(ic), "size:query.mp3", nullptr, nullptr), 0);
    ASSERT_TRUE(IsWideIOContext(ic->pb));
    const AVStream* stream = ic->streams[0];
    AVPacketPtr packet = MakePacket();
    double last = 0; // seconds
    int packets = 0;
    while (ff::av_read_frame(ic.get(), packet.get()) == 0) {
        // Asked between reads, so that the next buffer refill follows the query.
        if (++packets % 100 == 0) {
            EXPECT_EQ(ff::avio_size(ic->pb), QFileInfo(Source).size());
        }
        last = packet->pts * av_q2d(stream->time_base);
        ff::av_packet_unref(packet.get());
    }
    EXPECT_NEAR(last, 200.0, 0.1);
}

TEST_F(UnicodeProtocolTest, FailuresComeBackWithTheirReasonAndLeaveNothingOpen) {
    AVFormatContext* ic = nullptr;
    EXPECT_EQ(OpenInputFile(&ic, "no:such.mp3", nullptr, nullptr), AVERROR(ENOENT));
    EXPECT_EQ(ic, nullptr);

    ASSERT_TRUE(QDir(Dir.path()).mkdir("dir:x"));
    ic = ff::avformat_alloc_context(); // a caller's prepared context goes too, as with libavformat
    EXPECT_EQ(OpenInputFile(&ic, "dir:x", nullptr, nullptr), AVERROR_NOT_REGULAR_FILE);
    EXPECT_EQ(ic, nullptr);
    // Refused before the open: a FIFO without a writer would block it for ever.
    const QByteArray fifo = QFile::encodeName(Dir.filePath("fifo.mp3"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    EXPECT_EQ(OpenInputFile(&ic, Dir.filePath("fifo.mp3"), nullptr, nullptr),
              AVERROR_NOT_REGULAR_FILE);
    EXPECT_EQ(OpenInputFile(&ic, "/dev/zero", nullptr, nullptr), AVERROR_NOT_REGULAR_FILE);
    EXPECT_EQ(ic, nullptr);

    EXPECT_EQ(OpenInputFile(&ic, QString("a") + QChar(0) + ":b.mp3", nullptr, nullptr),
              AVERROR(EINVAL));

    QFile notMedia(Dir.filePath("text:file.mp3"));
    ASSERT_TRUE(notMedia.open(QIODevice::WriteOnly));
    notMedia.write(QByteArray(4096, 'z'));
    notMedia.close();
    EXPECT_LT(OpenInputFile(&ic, "text:file.mp3", nullptr, nullptr), 0);
    EXPECT_EQ(ic, nullptr);
}

TEST_F(UnicodeProtocolTest, WritesASeekableMP3Output) {
    const QString outName = QString::fromUtf8("cut: 歌.mp3");
    // An older, larger file of that name must be replaced, not overwritten in place.
    QFile old(Dir.filePath(outName));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(4 * 1024 * 1024, 'o'));
    old.close();

    AVInputContextPtr ic;
    ASSERT_EQ(OpenInputFile(InOut(ic), Source, nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(ic.get(), nullptr), 0);
    const AVStream* in = ic->streams[0];

    AVOutputContextPtr oc;
    ASSERT_GE(ff::avformat_alloc_output_context2(InOut(oc), nullptr, "mp3",
                                                 FileNameToURL(outName).constData()),
              0);
    AVStream* out = ff::avformat_new_stream(oc.get(), nullptr);
    ASSERT_NE(out, nullptr);
    ASSERT_GE(ff::avcodec_parameters_copy(out->codecpar, in->codecpar), 0);
    out->codecpar->codec_tag = 0;
    ASSERT_EQ(OpenOutputFile(oc.get(), outName), 0);
    ASSERT_TRUE(IsWideIOContext(oc->pb));
    ASSERT_GE(ff::avformat_write_header(oc.get(), nullptr), 0);

    AVPacketPtr packet = MakePacket();
    while (ff::av_read_frame(ic.get(), packet.get()) >= 0) {
        if (packet->pts * av_q2d(in->time_base) >= 10.0) {
            ff::av_packet_unref(packet.get());
            break;
        }
        ff::av_packet_rescale_ts(packet.get(), in->time_base, out->time_base);
        packet->stream_index = 0;
        ASSERT_GE(ff::av_interleaved_write_frame(oc.get(), packet.get()), 0);
    }
    ASSERT_GE(ff::av_write_trailer(oc.get()), 0);
    EXPECT_EQ(CloseOutputFile(InOut(oc)), 0);

    const QString outPath = Dir.filePath(outName);
    QFile written(outPath);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_LT(written.size(), 1024 * 1024);
    const QByteArray head = written.read(8192);
    EXPECT_TRUE(head.startsWith("ID3"));
    // The Xing/Info frame is only written when the muxer can seek back to it.
    EXPECT_TRUE(head.contains("Info") || head.contains("Xing"));

    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-show_entries", "format=duration:stream=codec_name",
                            "-of", "default=nw=1", outPath});
    ASSERT_TRUE(probe.waitForFinished(30000));
    const QString report = QString::fromUtf8(probe.readAllStandardOutput());
    EXPECT_TRUE(report.contains("codec_name=mp3")) << report.toStdString();
    const qsizetype at = report.indexOf("duration=");
    ASSERT_GE(at, 0) << report.toStdString();
    EXPECT_NEAR(report.mid(at + 9).section('\n', 0, 0).toDouble(), 10.0, 0.1);
}

TEST_F(UnicodeProtocolTest, WriteErrorsAreReported) {
    // /dev/full fails every write with ENOSPC, like a full disk.
    const QString full = QString(WideURLPrefix) + "/dev/full";
    AVIOContext* raw = nullptr;
    ASSERT_EQ(OpenIOContext(&raw, full, AVIO_FLAG_WRITE), 0);
    AVIOContextPtr pb(raw);
    ASSERT_TRUE(IsWideIOContext(pb.get()));
    const QByteArray block(300000, 'x');
    ff::avio_write(pb.get(), reinterpret_cast<const unsigned char*>(block.constData()),
                   block.size());
    EXPECT_EQ(CloseIOContext(InOut(pb)), AVERROR(ENOSPC));
    EXPECT_EQ(pb, nullptr);

    AVOutputContextPtr oc;
    ASSERT_GE(ff::avformat_alloc_output_context2(InOut(oc), nullptr, "mp3", nullptr), 0);
    AVStream* out = ff::avformat_new_stream(oc.get(), nullptr);
    out->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    out->codecpar->codec_id = AV_CODEC_ID_MP3;
    out->codecpar->sample_rate = 44100;
    ff::av_channel_layout_default(&out->codecpar->ch_layout, 2);
    ASSERT_EQ(OpenOutputFile(oc.get(), full), 0);
    const int header = ff::avformat_write_header(oc.get(), nullptr);
    const int trailer = header >= 0 ? ff::av_write_trailer(oc.get()) : header;
    const int closed = CloseOutputFile(InOut(oc));
    EXPECT_TRUE(trailer < 0 || closed < 0) << trailer << " " << closed;
}

} // namespace
