// snipwave-cli used as a careless or hostile user would: ranges at and past the end of the audio,
// sources whose header promises more than they hold, names that are not UTF-8, names the system
// refuses to examine, files with no audio, mistyped options; and the behaviours that already
// held (time texts, the source never being the output, read-only and over-long names).
#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

namespace {

// One MP3 frame at 44.1 kHz, s.
constexpr double Frame = 1152.0 / 44100.0;

class CliHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
        Source = Path("tone200.mp3");
        ASSERT_TRUE(QFile::copy(testpaths::fixture("tone200.mp3"), Source));
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    // A script run inside the scratch folder.
    TRawRun RunHere(const QString& script) const {
        return RunScript(QStringLiteral("cd '%1' && ").arg(Dir.path()) + script);
    }

    QTemporaryDir Dir;
    QString Source;
};

// Seconds of audio a gapless decode of the file gives: what a listener gets.
double AudioSeconds(const QString& file) {
    const TSamples pcm = Decode(file);
    return pcm.Rate > 0 ? double(pcm.Data.size()) / pcm.Rate : -1;
}

// Seconds of a time text "hh:mm:ss.mmm" found by pattern's first group; -1 when none.
double NoticeSeconds(const QString& text, const QString& pattern) {
    const QRegularExpressionMatch m = QRegularExpression(pattern).match(text);
    if (!m.hasMatch())
        return -1;
    const QStringList f = m.captured(1).split(':');
    return f[0].toInt() * 3600 + f[1].toInt() * 60 + f[2].toDouble();
}

TEST_F(CliHostileTest, AnEndAtOrPastTheEndCutsToTheRealEndFractionIncluded) {
    const QString source = Path("tone10_9.mp3");
    const TRun made = RunTool("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                                         "sine=frequency=440:sample_rate=44100:duration=10.9",
                                         "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", source});
    ASSERT_EQ(made.ExitCode, 0) << made.Err.toStdString();
    struct TCase {
        const char *Start, *End;
        double Seconds;
        bool Clamped;
    };
    for (const TCase& c : {TCase{"5", "20", 5.9, true}, TCase{"10", "11", 0.9, true},
                           TCase{"5", "10", 5.0, false}}) {
        SCOPED_TRACE(std::string(c.Start) + "-" + c.End);
        const QString output = Path(QStringLiteral("out%1-%2.mp3").arg(c.Start, c.End));
        const TRun run =
            RunCli({"cut", source, "--start", c.Start, "--end", c.End, "--output", output});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        EXPECT_NEAR(AudioSeconds(output), c.Seconds, Frame);
        const QString notice = QStringLiteral("Notice: the end %1 is past the end of the audio; "
                                              "the cut ends there, at 00:00:10.900.")
                                   .arg(c.End);
        EXPECT_EQ(run.Err.contains(notice), c.Clamped) << run.Err.toStdString();
        EXPECT_EQ(run.Err.count("Notice"), c.Clamped ? 1 : 0) << run.Err.toStdString();
    }
}

TEST_F(CliHostileTest, ATruncatedSourceIsCutToWhereItsAudioReallyEnds) {
    // The header still promises 200 s; about 100 s of frames are left.
    const QString source = Path("half.mp3");
    ASSERT_TRUE(QFile::copy(Source, source));
    ASSERT_TRUE(QFile::resize(source, 1601000));
    const double real = AudioSeconds(source);
    ASSERT_NEAR(real, 100.0, 0.2);

    TRun run = RunCli({"cut", source, "--start", "50", "--end", "9999", "--output",
                       Path("rest.mp3")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const double cut = AudioSeconds(Path("rest.mp3"));
    EXPECT_NEAR(cut, 50.0, 0.1);
    EXPECT_NEAR(cut, real - 50.0, Frame);
    EXPECT_TRUE(DecodesCleanly(Path("rest.mp3")));
    // One line names where the audio really ends.
    const double named =
        NoticeSeconds(run.Err, QStringLiteral("Notice: the audio of %1 really ends at "
                                              "([0-9:.]+), before the 00:03:20.04[0-9] its header "
                                              "claims; the cut ends there.\n")
                                   .arg(QRegularExpression::escape(source)));
    EXPECT_NEAR(named, real, 0.002) << run.Err.toStdString();
    // An end inside what the header promises but past what the file holds is clamped too.
    run = RunCli({"cut", source, "--start", "90", "--end", "150", "--output", Path("end.mp3")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_NEAR(AudioSeconds(Path("end.mp3")), real - 90.0, Frame);
    EXPECT_TRUE(run.Err.contains("really ends at")) << run.Err.toStdString();

    // Wholly past the real end: refused, quoting the range as typed and the real length.
    const QStringList before = Entries(Dir.path());
    run = RunCli({"cut", source, "--start", "1:41", "--end", "0:03:00", "--output",
                  Path("none.mp3")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("Nothing to cut: the range 1:41 - 0:03:00 is empty within the "
                                 "file's 00:01:40."))
        << run.Err.toStdString();
    run = RunCli({"cut", Source, "--start", "2:00", "--end", "120"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("Nothing to cut: the range 2:00 - 120 is empty."))
        << run.Err.toStdString();
    EXPECT_EQ(Entries(Dir.path()), before);
}

TEST_F(CliHostileTest, NamesThatAreNotUtf8SurviveByteForByte) {
    const QByteArray source = "x\xff.mp3", output = "out\xe9\x80.mp3";
    ASSERT_EQ(::rename(QFile::encodeName(Source).constData(),
                       (QFile::encodeName(Dir.path()) + '/' + source).constData()),
              0);
    const QByteArray folder = QFile::encodeName(Dir.path()) + '/';

    TRawRun run = RunHere("\"$CLI\" info \"$(printf 'x\\xff.mp3')\"");
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Out.startsWith("File Name: " + folder + source + "\n")) << run.Out.data();
    EXPECT_TRUE(run.Out.contains("Duration: 00:03:20\n")) << run.Out.data();

    run = RunHere("\"$CLI\" cut \"$(printf 'x\\xff.mp3')\" --start 1 --end 3 "
                  "--output \"$(printf 'out\\xe9\\x80.mp3')\"");
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Out.contains("Output: " + folder + output + "\n")) << run.Out.data();
    // The default output keeps the source's bytes too.
    run = RunHere("\"$CLI\" cut \"$(printf 'x\\xff.mp3')\" --start 1 --end 2");
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(RawEntries(Dir.path()),
              (QList<QByteArray>{output, source, QByteArray("x\xff_new.mp3")}));

    // The source itself under its byte name is still refused as the output.
    run = RunHere("\"$CLI\" cut \"$(printf 'x\\xff.mp3')\" --start 1 --end 2 --force "
                  "--output \"$(printf 'x\\xff')\"");
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("The output file is the source file itself: " + folder + source))
        << run.Err.data();
    run = RunHere("\"$CLI\" play \"$(printf 'x\\xff.mp3')\" --start 0 --end 1");
    EXPECT_EQ(run.ExitCode, 0) << run.Err.data();

    // What was written is the cut asked for.
    ASSERT_EQ(::rename((folder + output).constData(), QFile::encodeName(Path("o.mp3")).constData()),
              0);
    EXPECT_NEAR(AudioSeconds(Path("o.mp3")), 2.0, Frame);
}

TEST_F(CliHostileTest, NamesTheSystemRefusesGiveItsReason) {
    ASSERT_EQ(::symlink("loop.mp3", QFile::encodeName(Path("loop.mp3")).constData()), 0);
    QString denied = Path("denied.mp3");
    ASSERT_TRUE(QFile::copy(Source, denied));
    ASSERT_EQ(::chmod(QFile::encodeName(denied).constData(), 0), 0);
    if (const int fd = ::open(QFile::encodeName(denied).constData(), O_RDONLY); fd >= 0) {
        ::close(fd);
        // Root reads any file by its mode; a few files under /proc refuse even root.
        denied = QStringLiteral("/proc/sys/vm/drop_caches");
        const int procFd = ::open(denied.toUtf8().constData(), O_RDONLY);
        if (procFd >= 0)
            ::close(procFd);
        if (procFd >= 0 || errno != EACCES)
            denied.clear();
    }
    struct TCase {
        QString Name;
        const char* Reason;
    };
    QList<TCase> cases{{Path("loop.mp3"), "Too many levels of symbolic links"},
                       {Source + "/inner.mp3", "Not a directory"}};
    if (!denied.isEmpty())
        cases << TCase{denied, "Permission denied"};
    for (const TCase& c : cases) {
        for (const char* command : {"info", "cut", "play"}) {
            SCOPED_TRACE(c.Name.toStdString() + " " + command);
            QStringList args{command, c.Name};
            if (QLatin1String(command) == QLatin1String("cut"))
                args << "--start" << "0" << "--end" << "2" << "--output" << Path("x.mp3");
            const TRun run = RunCli(args);
            EXPECT_EQ(run.ExitCode, 1);
            EXPECT_TRUE(run.Err.contains(c.Name + ": " + c.Reason)) << run.Err.toStdString();
            EXPECT_FALSE(run.Err.contains("Error number")) << run.Err.toStdString();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(Path("x.mp3")));
    if (denied.isEmpty())
        GTEST_SKIP() << "no file here refuses to be read by this user";
}

TEST_F(CliHostileTest, AFileWithNoAudioAndAMistypedOptionAreCalledWhatTheyAre) {
    // Random bytes with an .mp3 name: the MP3 probe takes them, no decoder can.
    QFile noise(Path("noise.mp3"));
    ASSERT_TRUE(noise.open(QIODevice::WriteOnly));
    QRandomGenerator random(16);
    QByteArray bytes(200000, '\0');
    for (char& b : bytes)
        b = char(random.bounded(256));
    noise.write(bytes);
    noise.close();
    const QStringList before = Entries(Dir.path());
    TRun run = RunCli({"cut", noise.fileName(), "--start", "0", "--end", "5"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("Nothing to cut: " + noise.fileName() +
                                 " holds no decodable audio."))
        << run.Err.toStdString();
    EXPECT_FALSE(run.Err.contains("shorter than one second")) << run.Err.toStdString();
    EXPECT_EQ(Entries(Dir.path()), before);
    run = RunCli({"info", noise.fileName()});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Err.contains("holds no decodable audio")) << run.Err.toStdString();

    for (const QStringList& args :
         {QStringList{"cut", Source, "--start", "0", "--end", "5", "-o", Path("x.mp3")},
          QStringList{"info", "-v", Source}, QStringList{"play", Source, "-s", "5"}}) {
        run = RunCli(args);
        EXPECT_EQ(run.ExitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.Err.contains("unknown option: -")) << run.Err.toStdString();
    }
    EXPECT_EQ(Entries(Dir.path()), before);
}

TEST_F(CliHostileTest, TimeTextsMeanWhatTheySay) {
    // Three spellings of 1:05 to 1:10.
    for (const auto& [start, end] : {std::pair{"65", "1:10"}, std::pair{"1:05", "0:01:10"},
                                     std::pair{"0:1:05", "70"}}) {
        SCOPED_TRACE(std::string(start) + "-" + end);
        const QString output = Path("t.mp3");
        QFile::remove(output);
        const TRun run =
            RunCli({"cut", Source, "--start", start, "--end", end, "--output", output});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        EXPECT_NEAR(AudioSeconds(output), 5.0, Frame);
    }
    for (const char* bad : {"1:60", "1:60:00", "1:2:3:4", "1.5", "+5", " 5", "", "5s", "1::2",
                            "12345678901", "-0"}) {
        const TRun run = RunCli({"cut", Source, "--start", bad, "--end", "20"});
        EXPECT_EQ(run.ExitCode, 2) << bad;
        EXPECT_TRUE(run.Err.contains("is not a time")) << bad << run.Err.toStdString();
    }
}

TEST_F(CliHostileTest, TheSourceIsNeverTheOutputHoweverItIsSpelled) {
    ASSERT_TRUE(QDir(Dir.path()).mkdir("sub"));
    ASSERT_EQ(::link(QFile::encodeName(Source).constData(),
                     QFile::encodeName(Path("hard.mp3")).constData()),
              0);
    const QByteArray sum = Checksum(Source);
    const QStringList before = Entries(Dir.path());
    for (const QString& output :
         {QStringLiteral("tone200.mp3"), QStringLiteral("tone200"), QStringLiteral("./tone200.mp3"),
          QStringLiteral("sub/../tone200.mp3"), QStringLiteral("hard.mp3"),
          QStringLiteral("%1//tone200.mp3").arg(Dir.path()),
          QStringLiteral("../%1/tone200.mp3").arg(QFileInfo(Dir.path()).fileName())}) {
        SCOPED_TRACE(output.toStdString());
        const TRawRun run = RunHere(
            QStringLiteral("\"$CLI\" cut tone200.mp3 --start 1 --end 2 --force --output '%1'")
                .arg(output));
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_TRUE(run.Err.contains("The output file is the source file itself")) << run.Err.data();
    }
    EXPECT_EQ(Checksum(Source), sum);
    EXPECT_EQ(Entries(Dir.path()), before);
}

TEST_F(CliHostileTest, ReadOnlyAndOverLongNamesAreHandledClearly) {
    // A read-only source is read and left as it is.
    ASSERT_EQ(::chmod(QFile::encodeName(Source).constData(), 0444), 0);
    const QByteArray sum = Checksum(Source);
    TRun run = RunCli({"cut", Source, "--start", "1", "--end", "3", "--output", Path("a.mp3")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(Checksum(Source), sum);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Source).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // A read-only output is not replaced without --force; with it, only by a user who may
    // write it, and then it stays read-only.
    ASSERT_TRUE(QFile::copy(Path("a.mp3"), Path("locked.mp3")));
    ASSERT_EQ(::chmod(QFile::encodeName(Path("locked.mp3")).constData(), 0444), 0);
    const QByteArray lockedSum = Checksum(Path("locked.mp3"));
    run = RunCli({"cut", Source, "--start", "5", "--end", "9", "--output", Path("locked.mp3")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("The output file exists")) << run.Err.toStdString();
    EXPECT_EQ(Checksum(Path("locked.mp3")), lockedSum);
    run = RunCli({"cut", Source, "--start", "5", "--end", "9", "--output", Path("locked.mp3"),
                  "--force"});
    if (::geteuid() == 0) {
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        EXPECT_NEAR(AudioSeconds(Path("locked.mp3")), 4.0, Frame);
    } else {
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_TRUE(run.Err.contains("Permission denied")) << run.Err.toStdString();
        EXPECT_EQ(Checksum(Path("locked.mp3")), lockedSum);
    }
    ASSERT_EQ(::stat(QFile::encodeName(Path("locked.mp3")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // Names longer than the file system takes fail at once with its reason.
    const QStringList before = Entries(Dir.path());
    const QString longName = Path(QString(300, 'n') + ".mp3");
    run = RunCli({"cut", Source, "--start", "1", "--end", "3", "--output", longName});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("File name too long")) << run.Err.toStdString();
    run = RunCli({"info", longName});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains(longName + ": File name too long")) << run.Err.toStdString();
    EXPECT_EQ(Entries(Dir.path()), before);
}

} // namespace
