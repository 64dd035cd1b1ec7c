#include "media/decode/FFDecode.h"

#include "common/TestPaths.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/UnicodeProtocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(probe.LoadLibraries(QString())) << probe.LastErrorText().toStdString();
    }
    // The probe's own messages, as (level, text).
    void CaptureLog(TFFLogger& logger) {
        logger.SetOnLog([this](QObject* sender, uint32_t, TLogLevel level, const QString& msg) {
            if (sender == &probe)
                logged.emplace_back(level, msg);
        });
    }

    TFFDecoder probe;
    std::vector<std::pair<TLogLevel, QString>> logged;
};

void ExpectClosed(const TCustomDecoder& probe) {
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.FileSize(), -1);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.ProgramCount(), -1);
    EXPECT_EQ(probe.AudioStreamCount(), -1);
    EXPECT_EQ(probe.VideoStreamCount(), -1);
    EXPECT_EQ(probe.SubtitleStreamCount(), -1);
    EXPECT_EQ(probe.FirstAudioStream(), -1);
    EXPECT_EQ(probe.FirstVideoStream(), -1);
    EXPECT_EQ(probe.FirstSubtitleStream(), -1);
}

TEST_F(ProbeTest, PlainMp3GivesItsStreamsDurationRateAndSize) {
    const QString file = testpaths::fixture("tone200.mp3");
    ASSERT_TRUE(probe.OpenMediaFile(file)) << probe.LastErrorText().toStdString();
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 1);
    EXPECT_EQ(probe.ProgramCount(), 0);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.FirstAudioStream(), 0);
    EXPECT_EQ(probe.VideoStreamCount(), 0);
    EXPECT_EQ(probe.FirstVideoStream(), -1);
    EXPECT_EQ(probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(probe.FileSize(), QFileInfo(file).size());
    EXPECT_EQ(probe.FormatLongName(), "MP2/3 (MPEG audio layer 2/3)");

    const TFileStreamInfo info = probe.GetMediaInfo();
    // The encoder's delay and padding make the stream a few milliseconds longer than 200 s.
    EXPECT_NEAR(double(info.Duration), 200000000.0, 60000.0);
    EXPECT_EQ(info.Duration / 1000000, 200);
    EXPECT_EQ(info.BitRate, 128000);
    EXPECT_GE(info.StartTime, 0);
    // No tags at all: every text empty, every number 0.
    EXPECT_EQ(info.Title, "");
    EXPECT_EQ(info.Author, "");
    EXPECT_EQ(info.Album, "");
    EXPECT_EQ(info.Genre, "");
    EXPECT_EQ(info.Year, 0);
    EXPECT_EQ(info.Track, 0);
    EXPECT_EQ(info.Timestamp, 0);
}

TEST_F(ProbeTest, Id3TagsFillTheRecordAndMissingOnesStayEmpty) {
    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("tagged.mp3")));
    const TFileStreamInfo info = probe.GetMediaInfo();
    EXPECT_EQ(info.Title, "Tone Title");
    EXPECT_EQ(info.Author, "Tone Artist");
    EXPECT_EQ(info.Album, "Tone Album");
    EXPECT_EQ(info.Year, 2024);
    EXPECT_EQ(info.Track, 7);
    EXPECT_EQ(info.Copyright, "");
    EXPECT_EQ(info.Comment, "");
    EXPECT_EQ(info.Genre, "");
}

TEST_F(ProbeTest, NameLibavformatWouldMisreadOpensThroughTheWideOpener) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    // Relative, so the colon comes before any "/" and reads like a URL scheme.
    const QString name = QStringLiteral("a:b \u00e9\u4e2d.mp3");
    ASSERT_TRUE(QFile::copy(testpaths::fixture("tagged.mp3"), name));
    EXPECT_TRUE(NeedsWideProtocol(name));
    EXPECT_TRUE(probe.OpenMediaFile(name)) << probe.LastErrorText().toStdString();
    EXPECT_EQ(probe.FileSize(), QFileInfo(name).size());
    EXPECT_EQ(probe.GetMediaInfo().Title, "Tone Title");
    probe.CloseMediaFile();
    QDir::setCurrent(previous);
}

TEST_F(ProbeTest, FailedSecondOpenLeavesTheProbeClosed) {
    TFFLogger logger;
    CaptureLog(logger);
    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3")));

    const QString missing = testpaths::fixture("no-such-file.mp3");
    EXPECT_FALSE(probe.OpenMediaFile(missing));
    EXPECT_EQ(probe.LastErrorText(), missing + ": No such file or directory");
    ExpectClosed(probe);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, llError);
    EXPECT_EQ(logged[0].second, probe.LastErrorText());

    const TFileStreamInfo info = probe.GetMediaInfo();
    for (int64_t value : {info.StartTime, info.Duration, info.Timestamp, int64_t(info.BitRate),
                          int64_t(info.Year), int64_t(info.Track)})
        EXPECT_EQ(value, -1);
    EXPECT_EQ(info.Title, "");
    EXPECT_EQ(probe.LastErrorText(), "file not loaded.");
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1].first, llWarning);
    EXPECT_EQ(logged[1].second, "file not loaded.");
}

TEST_F(ProbeTest, UnreadableFilesFailWithAMessageAndLeaveNothingOpen) {
    EXPECT_FALSE(probe.OpenMediaFile(testpaths::fixture("notmp3.mp3")));
    EXPECT_FALSE(probe.LastErrorText().isEmpty());
    ExpectClosed(probe);

    // A folder is not a media file either.
    EXPECT_FALSE(probe.OpenMediaFile(testpaths::buildDir()));
    EXPECT_TRUE(probe.LastErrorText().startsWith(testpaths::buildDir() + ": "));
    ExpectClosed(probe);

    // The first 40 KiB of an MP3 still open; its header claims the full 200 s, which must not
    // drag the bit rate down to size / duration (1638 bit/s).
    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("truncated.mp3")));
    EXPECT_EQ(probe.FileSize(), 40960);
    EXPECT_EQ(probe.GetMediaInfo().BitRate, 128000);
}

TEST_F(ProbeTest, ForcedFormatIsLookedUpByName) {
    TFFLogger logger;
    CaptureLog(logger);
    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3")));
    EXPECT_FALSE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3"), "no-such-format"));
    EXPECT_EQ(probe.LastErrorText(), "Unknown input format: no-such-format");
    EXPECT_TRUE(logged.empty());
    ExpectClosed(probe);

    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3"), "mp3"));
    EXPECT_EQ(probe.FormatName(), "mp3");
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    probe.CloseMediaFile();
    EXPECT_EQ(probe.FormatName(), "");
}

TEST_F(ProbeTest, AttachedContextIsReadButNeverClosed) {
    AVInputContextPtr ic;
    ASSERT_GE(OpenInputFile(InOut(ic), testpaths::fixture("withcover.mp3"), nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(ic.get(), nullptr), 0);

    ASSERT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3")));
    probe.AttachContext(ic.get());
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.FormatContext(), ic.get());
    // The cover picture is a video stream after the audio; its bytes are no part of the rate.
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.FirstAudioStream(), 0);
    EXPECT_EQ(probe.FirstVideoStream(), 1);
    EXPECT_EQ(probe.FileSize(), QFileInfo(testpaths::fixture("withcover.mp3")).size());
    EXPECT_EQ(probe.GetMediaInfo().BitRate, 128000);

    probe.AttachContext(ic.get()); // the same context again changes nothing
    EXPECT_EQ(probe.StreamCount(), 2);
    probe.CloseMediaFile();
    ExpectClosed(probe);
    // Still ours and still usable (ASan would catch a close behind our back).
    AVPacketPtr packet = MakePacket();
    EXPECT_GE(ff::av_read_frame(ic.get(), packet.get()), 0);
}

TEST_F(ProbeTest, NewerTagNamesFillTheYearTrackAuthorAndTimestamp) {
    AVInputContextPtr ic;
    ASSERT_GE(OpenInputFile(InOut(ic), testpaths::fixture("tone200.mp3"), nullptr, nullptr), 0);
    ff::av_dict_set(&ic->metadata, "DATE", "1999-12-31", 0);
    ff::av_dict_set(&ic->metadata, "Track", "3/12", 0);
    ff::av_dict_set(&ic->metadata, "author", "Old Author", 0);
    ff::av_dict_set(&ic->metadata, "creation_time", "2024-05-01T12:00:00.000000Z", 0);
    // What the container does not know reads as -1, never as the no-time marker.
    ic->duration = AV_NOPTS_VALUE;
    ic->start_time = AV_NOPTS_VALUE;
    probe.AttachContext(ic.get());
    TFileStreamInfo info = probe.GetMediaInfo();
    EXPECT_EQ(info.Year, 1999);
    EXPECT_EQ(info.Track, 3);
    EXPECT_EQ(info.Author, "Old Author");
    EXPECT_EQ(info.Timestamp, int64_t(1714564800) * 1000000);
    EXPECT_EQ(info.Duration, -1);
    EXPECT_EQ(info.StartTime, -1);

    // An explicit year wins over the date; the artist over the author.
    ff::av_dict_set(&ic->metadata, "year", "2001", 0);
    ff::av_dict_set(&ic->metadata, "artist", "Artist", 0);
    ff::av_dict_set(&ic->metadata, "creation_time", "yesterday-ish", 0);
    info = probe.GetMediaInfo();
    EXPECT_EQ(info.Year, 2001);
    EXPECT_EQ(info.Author, "Artist");
    EXPECT_EQ(info.Timestamp, 0);
}

// Reads a file through I/O that cannot seek, so the stream cannot tell its size.
int ReadFile(void* opaque, uint8_t* buf, int size) {
    const qint64 n = static_cast<QFile*>(opaque)->read(reinterpret_cast<char*>(buf), size);
    return n > 0 ? int(n) : AVERROR_EOF;
}

TEST_F(ProbeTest, SizeComesFromTheDiskWhenTheStreamCannotTellIt) {
    const QString file = testpaths::fixture("tone200.mp3");
    QFile source(file);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const int bufferSize = 32768;
    AVIOContextPtr pb(ff::avio_alloc_context(static_cast<unsigned char*>(ff::av_malloc(bufferSize)),
                                             bufferSize, 0, &source, ReadFile, nullptr, nullptr));
    AVInputContextPtr ic(ff::avformat_alloc_context());
    ic->pb = pb.get();
    ASSERT_GE(OpenInputFile(InOut(ic), file, nullptr, nullptr), 0);
    ASSERT_LT(ff::avio_size(ic->pb), 0);

    probe.AttachContext(ic.get());
    EXPECT_EQ(probe.FileSize(), source.size());
    probe.CloseMediaFile();
    ic.reset(); // closes the format context first; our I/O context goes after it
}

TEST_F(ProbeTest, EachMissingLibraryIsNamedInLoadingOrder) {
    TFFLoader& loader = FFLoader();
    loader.UnloadLibs(AllLibraries);
    auto expectThrow = [this](const char* message) {
        try {
            probe.OpenMediaFile(testpaths::fixture("tone200.mp3"));
            ADD_FAILURE() << "no exception, expected " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), message);
        }
        EXPECT_THROW(probe.AttachContext(reinterpret_cast<AVFormatContext*>(this)),
                     std::runtime_error);
        EXPECT_EQ(probe.FormatContext(), nullptr);
    };
    expectThrow("LibAVCodec not loaded.");
    ASSERT_TRUE(loader.LoadLib(lkAVCodec));
    expectThrow("LibAVFormat not loaded.");
    ASSERT_TRUE(loader.LoadLib(lkAVFormat));
    expectThrow("LibAVUtil not loaded.");
    ASSERT_TRUE(loader.LoadLib(lkAVUtil));
    expectThrow("LibSwScale not loaded.");
    ASSERT_TRUE(loader.LoadLib(lkSwScale));
    EXPECT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3")));
}

TEST_F(ProbeTest, OpeningWhileAWorkerHoldingTheCodecLockLogsDoesNotDeadlock) {
    // A worker opening a codec holds the codec lock while the library logs, and its line waits
    // for the main thread; the main thread meanwhile opens a file and needs the same lock.
    TFFLogger logger; // delivers in the main thread
    std::atomic<int> delivered{0};
    logger.SetOnLog([&](QObject*, uint32_t, TLogLevel, const QString&) { ++delivered; });
    std::atomic<bool> locked{false}, finished{false};
    std::thread worker([&] {
        std::lock_guard<std::mutex> codecs(CodecLock());
        locked = true;
        ff::av_log(nullptr, AV_LOG_ERROR, "while opening a codec\n");
    });
    // A deadlock would hang the whole run; end it with a clear message instead.
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !finished; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!finished) {
            std::fprintf(stderr, "deadlock: the main thread waits for the codec lock\n");
            std::_Exit(1);
        }
    });
    while (!locked)
        std::this_thread::yield();
    EXPECT_TRUE(probe.OpenMediaFile(testpaths::fixture("tone200.mp3")))
        << probe.LastErrorText().toStdString();
    finished = true;
    worker.join();
    watchdog.join();
    EXPECT_GE(delivered.load(), 1);
    probe.CloseMediaFile();
}

} // namespace
