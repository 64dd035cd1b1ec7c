// snipwave-cli split and the tags the command line keeps, checked with ffmpeg and ffprobe: the
// pieces' exact lengths, pieces that join to the source without a fade, cue sheets, refusals
// before anything is written, failures and stops of single pieces.
#include "CliTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <map>
#include <memory>

using namespace clitest;

namespace {

class CliSplitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo::exists(CliPath())) << "build the snipwave-cli target first";
        ASSERT_TRUE(Dir.isValid());
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    QString Copy(const QString& fixture) {
        const QString to = Path(fixture);
        EXPECT_TRUE(QFile::copy(testpaths::fixture(fixture), to));
        return to;
    }
    void WriteFile(const QString& name, const QByteArray& data) {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir Dir;
};

// ffprobe's global tags of a file, and whether it carries an attached picture.
struct TTags {
    std::map<QString, QString> Values;
    bool Cover = false;
};

TTags Tags(const QString& file) {
    TTags tags;
    const TRun run =
        RunTool("ffprobe", {"-v", "error", "-show_entries",
                            "format_tags:stream_disposition=attached_pic", "-of", "flat", file});
    for (const QString& line : run.Out.split('\n')) {
        static const QRegularExpression tag(QStringLiteral("^format\\.tags\\.(\\w+)=\"(.*)\"$"));
        const QRegularExpressionMatch m = tag.match(line);
        if (m.hasMatch())
            tags.Values[m.captured(1).toLower()] = m.captured(2);
        if (line.endsWith(QLatin1String("disposition.attached_pic=1")))
            tags.Cover = true;
    }
    return tags;
}

// The bytes of the attached picture, as ffmpeg copies them out.
QByteArray CoverBytes(const QString& file) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-map", "0:v", "-c", "copy", "-f", "data", "-"});
    if (!p.waitForFinished(60000))
        return QByteArray();
    return p.readAllStandardOutput();
}

double Correlation(const std::vector<float>& a, const std::vector<float>& b, size_t from,
                   size_t to) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = from; i < to && i < a.size() && i < b.size(); ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// The files decoded one after another by one ffmpeg run, first channel; clean when ffmpeg had
// nothing to complain about.
TSamples JoinedDecode(const QStringList& files, int channels, bool& clean) {
    QStringList args{"-v", "error"};
    QString graph;
    for (int i = 0; i < files.size(); ++i) {
        args << "-i" << files[i];
        graph += QStringLiteral("[%1:a]").arg(i);
    }
    args << "-filter_complex" << graph + QStringLiteral("concat=n=%1:v=0:a=1").arg(files.size());
    args += QStringList{"-f", "f32le", "-acodec", "pcm_f32le", "-"};
    QProcess p;
    p.start("ffmpeg", args);
    TSamples joined;
    clean = p.waitForFinished(120000) && p.exitCode() == 0 &&
            p.readAllStandardError().trimmed().isEmpty();
    const QByteArray raw = p.readAllStandardOutput();
    const float* all = reinterpret_cast<const float*>(raw.constData());
    for (size_t i = 0; i + size_t(channels) <= size_t(raw.size()) / sizeof(float); i += channels)
        joined.Data.push_back(all[i]);
    return joined;
}

// The lines of a split's standard output that name pieces: each must be a file that is there.
QStringList ListedPieces(const TRun& run) {
    QStringList listed;
    for (const QString& line : run.Out.split('\n', Qt::SkipEmptyParts))
        if (line.endsWith(QLatin1String(".mp3"))) {
            EXPECT_TRUE(QFileInfo::exists(line)) << line.toStdString();
            listed << line;
        }
    return listed;
}

TEST_F(CliSplitTest, PiecesAtPointsHaveExactlyTheirLengths) {
    const QString source = Copy("tone200.mp3");
    const TRun run = RunCli({"split", source, "--at", "60,2:00"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("100%\n")) << run.Err.toStdString();
    const QStringList pieces = {"tone200_01.mp3", "tone200_02.mp3", "tone200_03.mp3"};
    EXPECT_EQ(Entries(Dir.path()), QStringList{"tone200.mp3"} + pieces);
    const size_t expected[] = {60 * 44100, 60 * 44100, 80 * 44100};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(pieces[i].toStdString());
        const TSamples pcm = Decode(Path(pieces[i]));
        EXPECT_EQ(pcm.Data.size(), expected[i]);
        // Default fades: silence at both ends of every piece.
        EXPECT_LT(Levels(Path(pieces[i]), 0, 0.05).PeakDb, -40);
        EXPECT_EQ(Tags(Path(pieces[i])).Values["track"], QString::number(i + 1));
    }
}

// Without fades the pieces are the source cut apart: joined, not a sample more or less, and
// each junction continues the source at zero lag.
TEST_F(CliSplitTest, WithoutFadesThePiecesJoinToTheSource) {
    const QString source = Copy("sweep60.mp3");
    const TRun run = RunCli({"split", source, "--at", "12.5,30,30.75,47.123", "--fade", "0",
                             "--jobs", "3", "--name", "part{n}", "--output-dir", Path("out")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const TSamples src = Decode(source);
    ASSERT_GT(src.Data.size(), 50u * 44100);
    std::vector<float> joined;
    std::vector<size_t> junctions;
    for (int n = 1; n <= 5; ++n) {
        const TSamples piece = Decode(Path(QStringLiteral("out/part0%1.mp3").arg(n)));
        ASSERT_FALSE(piece.Data.empty()) << n;
        joined.insert(joined.end(), piece.Data.begin(), piece.Data.end());
        junctions.push_back(joined.size());
    }
    junctions.pop_back();
    EXPECT_EQ(joined.size(), src.Data.size());
    // The points in samples: 12.5 s, 30 s, 30.75 s, 47.123 s.
    EXPECT_EQ(junctions, (std::vector<size_t>{551250, 1323000, 1356075, 2078124}));
    for (const size_t j : junctions) {
        SCOPED_TRACE(j);
        const size_t second = size_t(src.Rate);
        EXPECT_GE(Correlation(joined, src.Data, j - second, j), 0.99);
        EXPECT_GE(Correlation(joined, src.Data, j, j + second), 0.99);
    }
}

TEST_F(CliSplitTest, ACueSheetGivesNamedTaggedPieces) {
    Copy("tone200.mp3");
    WriteFile("album.cue", "\xEF\xBB\xBF"
                           "REM GENRE Test\r\n"
                           "PERFORMER \"Die Bänd\"\r\n"
                           "TITLE \"Live / Loud\"\r\n"
                           "FILE \"tone200.mp3\" MP3\r\n"
                           "  TRACK 01 AUDIO\r\n"
                           "    TITLE \"Öpener\"\r\n"
                           "    INDEX 01 00:00:00\r\n"
                           "  TRACK 02 AUDIO\r\n"
                           "    TITLE \"What?\"\r\n"
                           "    PERFORMER \"Guest\"\r\n"
                           "    INDEX 00 00:58:00\r\n"
                           "    INDEX 01 01:00:00\r\n"
                           "  TRACK 03 AUDIO\r\n"
                           "    TITLE \"Encore\"\r\n"
                           "    INDEX 01 02:10:37\r\n");
    // No FILE argument: the sheet names the source beside it.
    const TRun run =
        RunCli({"split", "--cue", Path("album.cue"), "--name", "{n} {artist} - {title}"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const QStringList names = {"01 Die Bänd - Öpener.mp3", "02 Guest - What_.mp3",
                               "03 Die Bänd - Encore.mp3"};
    for (const QString& name : names)
        EXPECT_TRUE(QFileInfo::exists(Path(name))) << Entries(Dir.path()).join('|').toStdString();
    const TTags second = Tags(Path(names[1]));
    EXPECT_EQ(second.Values.at("title"), "What?");
    EXPECT_EQ(second.Values.at("artist"), "Guest");
    EXPECT_EQ(second.Values.at("album"), "Live / Loud");
    EXPECT_EQ(second.Values.at("track"), "2");
    EXPECT_EQ(Tags(Path(names[0])).Values.at("artist"), "Die Bänd");
    // 37 frames of 1/75 s: track 3 starts at 130.4933 s.
    EXPECT_NEAR(double(Decode(Path(names[1])).Data.size()), 70.49333 * 44100, 1.0);
}

TEST_F(CliSplitTest, BadInputIsRefusedBeforeAnythingIsWritten) {
    const QString source = Copy("tone200.mp3");
    WriteFile("bad.cue", "FILE \"tone200.mp3\" MP3\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                         "TRACK 02 AUDIO\nINDEX 01 01:75:00\n");
    WriteFile("late.cue", "TRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
                          "INDEX 01 04:00:00\n");
    const std::pair<QStringList, QString> refused[] = {
        {{"--at", "60,250"}, "beyond the end of the audio"},
        {{"--at", "120,60"}, "must rise"},
        {{"--at", "60,60"}, "must rise"},
        {{"--cue", Path("bad.cue")}, "line 5"},
        {{"--cue", Path("late.cue")}, "beyond the end"},
        {{"--cue", Path("missing.cue")}, "cannot read"},
        {{"--at", "60", "--name", "same"}, "{n}"}};
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const TRun run = RunCli(QStringList{"split", source} + args);
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_TRUE(run.Err.contains(message)) << run.Err.toStdString();
    }
    for (const QStringList& args :
         {QStringList{"--at", "60", "--every", "30"}, QStringList{"--at", "1:2x"},
          QStringList{"--every", "0"}, QStringList{"--fade", "-1", "--at", "9"},
          QStringList{"--jobs", "0", "--at", "9"}, QStringList{}}) {
        const TRun run = RunCli(QStringList{"split", source} + args);
        EXPECT_EQ(run.ExitCode, 2) << args.join(' ').toStdString();
    }
    EXPECT_EQ(Entries(Dir.path()), (QStringList{"bad.cue", "late.cue", "tone200.mp3"}));

    // An existing piece is kept without --force, and so is everything else.
    WriteFile("tone200_02.mp3", "mine");
    const TRun run = RunCli({"split", source, "--every", "100"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("--force")) << run.Err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Path("tone200_01.mp3")));
}

// A piece that cannot be written fails with its name and message; the others are written all
// the same, and the exit status tells. Here another program takes a piece's name while the split
// runs: the piece fails rather than replace that file.
TEST_F(CliSplitTest, AFailedPieceIsNamedAndTheOthersAreWritten) {
    const QString source = Copy("sweep60.mp3");
    QProcess cli;
    cli.start(CliPath(), {"split", source, "--every", "12", "--jobs", "1"});
    ASSERT_TRUE(cli.waitForStarted(10000));
    cli.setReadChannel(QProcess::StandardError);
    // The first progress line: of five pieces cut one at a time, the last has not started.
    QByteArray err;
    while (!err.contains("%\n")) {
        ASSERT_TRUE(cli.waitForReadyRead(60000)) << err.toStdString();
        err += cli.readAllStandardError();
    }
    WriteFile("sweep60_05.mp3", "mine");
    ASSERT_TRUE(cli.waitForFinished(120000));
    err += cli.readAllStandardError();
    EXPECT_EQ(cli.exitCode(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(("Piece 5 (" + Path("sweep60_05.mp3") + ") failed: ").toUtf8()))
        << err.toStdString();
    EXPECT_TRUE(err.contains("1 of 5 pieces failed")) << err.toStdString();
    const QString out = QString::fromUtf8(cli.readAllStandardOutput());
    EXPECT_FALSE(out.contains("sweep60_05")) << out.toStdString();
    QFile mine(Path("sweep60_05.mp3"));
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), "mine");
    for (const char* name : {"sweep60_01.mp3", "sweep60_02.mp3", "sweep60_04.mp3"})
        EXPECT_EQ(Decode(Path(name)).Data.size(), 12u * 44100) << name;
}

// Thousands of pieces once ran the process out of file descriptors (and the sanitizers with
// it). The plan is now refused before anything is written when its pieces are shorter than one
// MP3 frame or too many, and a plan that is sound holds only --jobs pieces open at once.
TEST_F(CliSplitTest, ManyPiecesKeepFewFilesOpenAndAbsurdPlansAreRefused) {
    const QString source = Copy("sweep60.mp3");
    const std::pair<const char*, const char*> refused[] = {
        {"0.001", "--every 0.001 s is shorter than one MP3 frame"},
        {"0.01", "--every 0.010 s is shorter than one MP3 frame"},
        {"1e9", "--every 1e9 is longer than the audio"},
        {"1e99", "--every 1e99 is longer than the audio"}};
    for (const auto& [every, message] : refused) {
        const TRun run = RunCli({"split", source, "--every", every, "--fade", "0"});
        EXPECT_EQ(run.ExitCode, 1) << every;
        EXPECT_TRUE(run.Err.contains(message)) << run.Err.toStdString();
    }
    EXPECT_EQ(Entries(Dir.path()), QStringList{"sweep60.mp3"});

    // Sixty pieces within 64 descriptors, the sanitizers' own included.
    const TRawRun run =
        RunScript(QStringLiteral("ulimit -n 64 && \"$CLI\" split '%1' --every 1 --fade 0 --jobs 4 "
                                 "--output-dir '%2'")
                      .arg(source, Path("out")));
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    QStringList pieces;
    for (const QString& name : Entries(Path("out")))
        pieces << Path("out/" + name);
    ASSERT_EQ(pieces.size(), 60);
    EXPECT_TRUE(pieces.last().endsWith("sweep60_60.mp3"));
    // Every piece decodes without a complaint, and joined they are the source.
    bool clean = false;
    const TSamples joined = JoinedDecode(pieces, 2, clean);
    const TSamples src = Decode(source);
    EXPECT_TRUE(clean);
    EXPECT_EQ(joined.Data.size(), src.Data.size());
    EXPECT_GE(Correlation(joined.Data, src.Data, 0, src.Data.size()), 0.99);
}

// The plan is made against where the audio really ends (60.000 s here; the header says
// 60.029 s): a point at or past it is refused by name, one in the last frame joins its piece to
// the one before, and the summary lists only files that are there.
TEST_F(CliSplitTest, PointsAtTheEndAreRefusedOrJoinedNeverReportedMissing) {
    const QString source = Copy("sweep60.mp3");
    const QString truncated = Copy("truncated.mp3"); // the header promises 200 s, about 2.6 s held
    const std::pair<QStringList, const char*> refused[] = {
        {{source, "--at", "60.02"},
         "the cut point 60.020 s is at or beyond the end of the audio (60.000 s)"},
        {{source, "--at", "30,60"}, "the cut point 60.000 s is at or beyond the end"},
        {{source, "--at", "61"}, "the cut point 61.000 s is at or beyond the end"},
        {{truncated, "--at", "1,100"}, "the cut point 100.000 s is at or beyond the end"}};
    for (const auto& [args, message] : refused) {
        const TRun run = RunCli(QStringList{"split"} + args);
        EXPECT_EQ(run.ExitCode, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(run.Err.contains(message)) << run.Err.toStdString();
    }
    EXPECT_EQ(Entries(Dir.path()), (QStringList{"sweep60.mp3", "truncated.mp3"}));

    const size_t all = Decode(source).Data.size();
    ASSERT_EQ(all, 60u * 44100);
    TRun run = RunCli({"split", source, "--at", "59.99", "--fade", "0", "--output-dir", Path("a")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("joins the piece before it")) << run.Err.toStdString();
    EXPECT_EQ(ListedPieces(run), QStringList{Path("a/sweep60_01.mp3")});
    EXPECT_EQ(Entries(Path("a")), QStringList{"sweep60_01.mp3"});
    EXPECT_EQ(Decode(Path("a/sweep60_01.mp3")).Data.size(), all);

    run = RunCli({"split", source, "--at", "59.96", "--fade", "0", "--output-dir", Path("b")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(ListedPieces(run).size(), 2);
    EXPECT_EQ(Decode(Path("b/sweep60_02.mp3")).Data.size(), 1764u); // 40 ms
}

// A cue sheet with a byte order mark and a Latin-1 title reads as it would without the mark; a
// title that would make a hidden file gives the track number; --output-dir makes its last level
// only.
TEST_F(CliSplitTest, MarkedLatin1SheetsHiddenNamesAndMissingFolders) {
    const QString source = Copy("short.mp3"); // 0.6 s
    WriteFile("mixed.cue", "\xEF\xBB\xBFTITLE \"Caf\xE9\"\r\n"
                           "FILE \"short.mp3\" MP3\r\n"
                           "TRACK 01 AUDIO\r\n  TITLE \"\xD6l\"\r\n  INDEX 01 00:00:00\r\n"
                           "TRACK 02 AUDIO\r\n  TITLE \"..\"\r\n  INDEX 01 00:00:30\r\n");
    const QStringList args{"split", "--cue", Path("mixed.cue"), "--name", "{title}.mp3"};
    TRun run = RunCli(args + QStringList{"--output-dir", Path("deeper/pieces")});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Err.contains("only its last level is made")) << run.Err.toStdString();
    EXPECT_EQ(Entries(Dir.path()), (QStringList{"mixed.cue", "short.mp3"}));

    run = RunCli(args + QStringList{"--output-dir", Path("pieces")});
    ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(Entries(Path("pieces")), (QStringList{"02.mp3", "Öl.mp3"}));
    const TTags first = Tags(Path("pieces/Öl.mp3"));
    EXPECT_EQ(first.Values.at("title"), "Öl");
    EXPECT_EQ(first.Values.at("album"), "Café");
    EXPECT_EQ(Tags(Path("pieces/02.mp3")).Values.at("title"), "..");
}

TEST_F(CliSplitTest, CtrlCStopsEveryPieceAndKeepsTheFinishedOnes) {
    const QString source = Copy("tone200.mp3");
    QProcess cli;
    cli.start(CliPath(), {"split", source, "--every", "20", "--jobs", "1"});
    ASSERT_TRUE(cli.waitForStarted(10000));
    cli.setReadChannel(QProcess::StandardError);
    QByteArray err;
    static const QRegularExpression line(QStringLiteral("(?:^|\n)([0-9]+)%\n"));
    for (int reached = -1; reached < 10;) {
        ASSERT_TRUE(cli.waitForReadyRead(60000)) << err.toStdString();
        err += cli.readAllStandardError();
        for (auto it = line.globalMatch(QString::fromLatin1(err)); it.hasNext();)
            reached = it.next().captured(1).toInt();
    }
    ::kill(pid_t(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(60000));
    err += cli.readAllStandardError();
    EXPECT_EQ(cli.exitCode(), 130) << err.toStdString();
    // The pieces finished before the stop are kept whole, in order; the one stopped half-way
    // goes, and the rest never started.
    const QStringList left = Entries(Dir.path());
    ASSERT_LT(left.size(), 11) << "the split ended before the stop";
    for (int n = 1; n < left.size(); ++n) {
        const QString name = QStringLiteral("tone200_%1.mp3").arg(n, 2, 10, QLatin1Char('0'));
        EXPECT_EQ(left[n], name);
        EXPECT_EQ(Decode(Path(name)).Data.size(), 20u * 44100) << name.toStdString();
    }
    EXPECT_TRUE(
        err.contains(QStringLiteral("%1 of 10 pieces were finished").arg(left.size() - 1).toUtf8()))
        << err.toStdString();
}

// The command line keeps what the user's file carried: text tags in both ID3 versions and the
// cover picture, byte for byte; --no-tags writes none. (The window writes none either way.)
TEST_F(CliSplitTest, CutAndSplitKeepTagsAndCoverUnlessAskedNot) {
    for (const char* fixture : {"tagged.mp3", "tagged23cover.mp3", "tagged24cover.mp3"}) {
        SCOPED_TRACE(fixture);
        const QString source = Copy(fixture);
        const TTags src = Tags(source);
        const QByteArray cover = CoverBytes(source);
        const QString base = QFileInfo(source).completeBaseName();
        TRun run = RunCli(
            {"cut", source, "--start", "10", "--end", "20", "--output", Path(base + "_cut.mp3")});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        run = RunCli({"split", source, "--at", "15", "--output-dir", Path(base)});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        for (const QString& out : {Path(base + "_cut.mp3"), Path(base + "/" + base + "_01.mp3"),
                                   Path(base + "/" + base + "_02.mp3")}) {
            SCOPED_TRACE(out.toStdString());
            TTags got = Tags(out);
            for (const char* key : {"title", "artist", "album", "date"})
                EXPECT_EQ(got.Values[key], src.Values.at(key)) << key;
            EXPECT_EQ(got.Cover, src.Cover);
            EXPECT_EQ(CoverBytes(out), cover);
        }
        EXPECT_EQ(Tags(Path(base + "/" + base + "_02.mp3")).Values["track"], "2");

        run = RunCli({"cut", source, "--start", "10", "--end", "20", "--output",
                      Path(base + "_bare.mp3"), "--no-tags"});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        run = RunCli(
            {"split", source, "--at", "15", "--output-dir", Path(base + "_bare"), "--no-tags"});
        ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
        for (const QString& out :
             {Path(base + "_bare.mp3"), Path(base + "_bare/" + base + "_02.mp3")}) {
            const TTags got = Tags(out);
            EXPECT_FALSE(got.Cover);
            for (const char* key : {"title", "artist", "album", "date", "track"})
                EXPECT_EQ(got.Values.count(key), 0u) << key;
        }
    }
}

} // namespace
