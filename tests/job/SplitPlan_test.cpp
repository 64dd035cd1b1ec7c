// The split's planning: cue sheets as rippers and recorders write them, pieces that follow each
// other without gap, and file names a file system takes.
#include "job/SplitPlan.h"
#include "job/TCueSheet.h"

#include <QTemporaryDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

constexpr int64_t S = 1000000; // µs

TEST(CueSheetTest, ReadsTracksTitlesPerformersAndFrameTimes) {
    TCueSheet sheet;
    QString error;
    ASSERT_TRUE(sheet.Parse("REM DATE 1999\n"
                            "PERFORMER \"The Band\"\n"
                            "TITLE \"Live at \"\"Home\"\"\"\n" // odd quoting: taken as written
                            "FILE \"concert one.mp3\" MP3\n"
                            "  track 01 audio\n"
                            "    TITLE Intro\n"
                            "    INDEX 01 00:00:00\n"
                            "  TRACK 02 AUDIO\n"
                            "    PERFORMER \"Guest Star\"\n"
                            "    TITLE \"Second Song\"\n"
                            "    INDEX 00 04:58:00\n"
                            "    INDEX 01 05:00:74\n"
                            "    INDEX 02 06:00:00\n"
                            "  TRACK 03 AUDIO\n"
                            "    INDEX 01 75:00:01\n",
                            error))
        << error.toStdString();
    EXPECT_EQ(sheet.Performer, "The Band");
    EXPECT_EQ(sheet.File, "concert one.mp3");
    ASSERT_EQ(sheet.Tracks.size(), 3u);
    EXPECT_EQ(sheet.Tracks[0].Title, "Intro");
    EXPECT_EQ(sheet.Tracks[1].Performer, "Guest Star");
    EXPECT_EQ(sheet.Tracks[1].Title, "Second Song");
    // INDEX 01, not the pregap's 00 or a sub-index; 74 frames of 1/75 s; minutes past 59.
    EXPECT_EQ(sheet.Tracks[1].StartUs, 300 * S + 74 * S / 75);
    EXPECT_EQ(sheet.Tracks[2].StartUs, 4500 * S + S / 75);
    EXPECT_EQ(sheet.Tracks[2].Number, 3);
}

TEST(CueSheetTest, RefusesWhatCannotBeSplitByLine) {
    const std::pair<const char*, const char*> bad[] = {
        {"TRACK 01 AUDIO\nINDEX 01 00:60:00\n", "line 2"}, // seconds past 59
        {"TRACK 01 AUDIO\nINDEX 01 00:10:75\n", "line 2"}, // frames past 74
        {"TRACK 01 AUDIO\nINDEX 01 1:2\n", "line 2"},      // not mm:ss:ff
        {"INDEX 01 00:00:00\n", "line 1"},                 // no track yet
        {"TRACK 01 AUDIO\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", "no INDEX 01"},
        {"TRACK 02 AUDIO\nINDEX 01 00:00:00\nTRACK 01 AUDIO\nINDEX 01 00:01:00\n", "increase"},
        {"TRACK 01 AUDIO\nINDEX 01 00:05:00\nTRACK 02 AUDIO\nINDEX 01 00:05:00\n", "after"},
        {"TRACK 01 AUDIO\nINDEX 01 00:00:00\nINDEX 01 00:01:00\n", "two INDEX 01"},
        {"FILE a.mp3 MP3\nFILE b.mp3 MP3\n", "more than one FILE"},
        {"TRACK x AUDIO\n", "number"},
        {"HELLO world\n", "unknown command"},
        {"REM only a remark\n", "no TRACK"},
        {"TRACK 01 AUDIO\n", "no INDEX 01"}};
    for (const auto& [text, why] : bad) {
        SCOPED_TRACE(text);
        TCueSheet sheet;
        QString error;
        EXPECT_FALSE(sheet.Parse(text, error));
        EXPECT_TRUE(error.contains(why)) << error.toStdString();
    }
}

TEST(CueSheetTest, LoadsUtf8WithAMarkAndLatin1FromOlderRippers) {
    QTemporaryDir dir;
    const QByteArray utf8 =
        "\xEF\xBB\xBFTITLE \"K\xC3\xB6ln\"\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n";
    const QByteArray latin1 = "TITLE \"K\xF6ln\"\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    // A sheet edited by several tools: a UTF-8 mark, then a title in Latin-1.
    const QByteArray both = "\xEF\xBB\xBF" + latin1;
    for (const QByteArray& bytes : {utf8, latin1, both}) {
        QFile f(dir.filePath("s.cue"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        TCueSheet sheet;
        QString error;
        ASSERT_TRUE(sheet.Load(dir.filePath("s.cue"), error)) << error.toStdString();
        EXPECT_EQ(sheet.Title, QString::fromUtf8("K\xC3\xB6ln"));
    }
    TCueSheet sheet;
    QString error;
    EXPECT_FALSE(sheet.Load(dir.filePath("none.cue"), error));
}

// One MP3 frame at 44.1 kHz: 1152 samples, rounded up to whole µs.
constexpr int64_t Frame = 26123;

TSplitBounds Bounds(int64_t endUs) {
    return TSplitBounds{endUs, SplitFrameUs(44100)};
}

TEST(SplitPlanTest, PiecesFollowEachOtherToTheEnd) {
    EXPECT_EQ(SplitFrameUs(44100), Frame);
    EXPECT_EQ(SplitFrameUs(22050), Frame); // MPEG-2: half the samples at half the rate
    EXPECT_EQ(SplitFrameUs(96000), 24000); // LAME writes no more than 48 kHz
    EXPECT_EQ(SplitFrameUs(0), 72000);     // unknown: the longest frame there is
    std::vector<TSplitPiece> pieces;
    QStringList notices;
    ASSERT_EQ(PlanAtPoints({60 * S, 120 * S + S / 2}, Bounds(200 * S), pieces, &notices),
              QString());
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].StartUs, 0);
    EXPECT_EQ(pieces[0].EndUs, 60 * S);
    EXPECT_EQ(pieces[1].StartUs, 60 * S);
    EXPECT_EQ(pieces[2].StartUs, 120 * S + S / 2);
    EXPECT_EQ(pieces[2].EndUs, 200 * S);
    EXPECT_TRUE(pieces[2].ToEnd);
    EXPECT_EQ(pieces[2].Number, 3);
    EXPECT_TRUE(notices.isEmpty());

    // A last piece shorter than a frame joins the one before it, with a notice; any other is
    // refused, and so is a point at or past the end of the audio.
    ASSERT_EQ(PlanAtPoints({30 * S, 60 * S - Frame + 1}, Bounds(60 * S), pieces, &notices),
              QString());
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1].EndUs, 60 * S);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains("59.973878 s")) << notices[0].toStdString();
    ASSERT_EQ(PlanAtPoints({60 * S - Frame}, Bounds(60 * S), pieces), QString());
    EXPECT_EQ(pieces.size(), 2u);
    const std::pair<std::vector<int64_t>, const char*> refused[] = {
        {{60 * S}, "the cut point 60.000 s is at or beyond the end of the audio (60.000 s)"},
        {{60 * S + 20000}, "the cut point 60.020 s is at or beyond the end"},
        {{0}, "after the start"},
        {{50 * S, 30 * S}, "must rise"},
        {{Frame - 1}, "shorter than one MP3 frame"},
        {{10 * S, 10 * S + 10000}, "from 10.000 s to 10.010 s would be shorter"}};
    for (const auto& [points, why] : refused) {
        SCOPED_TRACE(why);
        const QString error = PlanAtPoints(points, Bounds(60 * S), pieces);
        EXPECT_TRUE(error.contains(why)) << error.toStdString();
        EXPECT_TRUE(pieces.empty());
    }
    EXPECT_FALSE(PlanAtPoints({10 * S}, Bounds(-1), pieces).isEmpty());
    EXPECT_FALSE(PlanAtPoints({}, Bounds(Frame - 1), pieces).isEmpty());
    EXPECT_TRUE(PlanAtPoints(std::vector<int64_t>(MaxSplitPieces, S), Bounds(60 * S), pieces)
                    .contains("at most 10000"));
}

TEST(SplitPlanTest, EqualPiecesAreCountedBeforeTheyAreMade) {
    std::vector<TSplitPiece> pieces;
    // Equal pieces; a remainder under a second joins the last one.
    ASSERT_EQ(PlanEvery(50 * S, Bounds(200 * S + 39000), pieces), QString());
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[3].StartUs, 150 * S);
    EXPECT_EQ(pieces[3].EndUs, 200 * S + 39000);
    ASSERT_EQ(PlanEvery(60 * S, Bounds(200 * S), pieces), QString());
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[3].EndUs - pieces[3].StartUs, 20 * S);
    // Under a second, a remainder shorter than the length itself joins.
    ASSERT_EQ(PlanEvery(S / 2, Bounds(10 * S + S / 4), pieces), QString());
    ASSERT_EQ(pieces.size(), 20u);
    EXPECT_EQ(pieces[19].EndUs - pieces[19].StartUs, S / 2 + S / 4);
    ASSERT_EQ(PlanEvery(Frame, Bounds(60 * S), pieces), QString());
    EXPECT_EQ(pieces.size(), size_t(60 * S / Frame));

    const std::pair<std::pair<int64_t, int64_t>, const char*> refused[] = {
        {{0, 60 * S}, "above 0"},
        {{1000, 60 * S}, "--every 0.001 s is shorter than one MP3 frame (0.026123 s)"},
        {{Frame - 1, 60 * S}, "shorter than one MP3 frame"},
        {{60 * S, 60 * S}, "as long as the audio (60.000 s)"},
        {{int64_t(1) << 60, 60 * S}, "longer than the audio"},
        // Ten hours in frames: 1.4 million pieces, refused without making one.
        {{Frame, 36000 * S}, "would make 1378095 pieces; one split makes at most 10000"}};
    for (const auto& [length, why] : refused) {
        SCOPED_TRACE(why);
        const QString error = PlanEvery(length.first, Bounds(length.second), pieces);
        EXPECT_TRUE(error.contains(why)) << error.toStdString();
        EXPECT_TRUE(pieces.empty());
    }
}

TEST(SplitPlanTest, CueTracksBecomePiecesWithTheirTags) {
    TCueSheet sheet;
    QString error;
    ASSERT_TRUE(sheet.Parse("PERFORMER Band\nTRACK 01 AUDIO\nTITLE One\nINDEX 01 00:02:00\n"
                            "TRACK 02 AUDIO\nTITLE Two\nPERFORMER Guest\nINDEX 01 01:00:00\n",
                            error));
    std::vector<TSplitPiece> pieces;
    ASSERT_EQ(PlanCueSheet(sheet, Bounds(200 * S), pieces), QString());
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].StartUs, 0); // nothing before the first index is lost
    EXPECT_EQ(pieces[0].Artist, "Band");
    EXPECT_EQ(pieces[1].Artist, "Guest");
    EXPECT_EQ(pieces[1].Title, "Two");
    EXPECT_EQ(pieces[1].StartUs, 60 * S);
    EXPECT_TRUE(PlanCueSheet(sheet, Bounds(50 * S), pieces).contains("track 2"));
    EXPECT_TRUE(PlanCueSheet(sheet, Bounds(60 * S), pieces).contains("track 2"));
    // A track that starts in the last frame is no piece of its own.
    QStringList notices;
    ASSERT_EQ(PlanCueSheet(sheet, Bounds(60 * S + Frame - 1), pieces, &notices), QString());
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].Title, "One");
    EXPECT_EQ(pieces[0].EndUs, 60 * S + Frame - 1);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains("Track 2")) << notices[0].toStdString();
}

TEST(SplitPlanTest, NamesFillThePatternAndReplaceRefusedCharacters) {
    TSplitPiece piece;
    piece.Number = 7;
    piece.Title = "AC/DC: Live?";
    EXPECT_EQ(PieceFileName("{name}_{n}.mp3", piece, 12, "show", "", ""), "show_07.mp3");
    EXPECT_EQ(PieceFileName("{n} {title}", piece, 3, "show", "", ""), "07 AC_DC_ Live_.mp3");
    EXPECT_EQ(PieceFileName("{n}", piece, 120, "show", "", ""), "007.mp3");
    // Without a title of its own the piece takes the source's.
    piece.Title.clear();
    EXPECT_EQ(PieceFileName("{artist} - {title}.MP3", piece, 9, "x", "Src", "Ärtist"),
              "Ärtist - Src.MP3");
    EXPECT_EQ(PieceFileName("a\tb\x01", piece, 9, "x", "", ""), "a_b_.mp3");
    // A name that would be empty or hidden is the piece's number.
    for (const char* title : {"", "..", ".", " .hidden"}) {
        piece.Title = title;
        EXPECT_EQ(PieceFileName("{title}.mp3", piece, 9, "x", "", ""), "07.mp3") << title;
    }
    piece.Title = "/";
    EXPECT_EQ(PieceFileName("{title}.mp3", piece, 9, "x", "", ""), "_.mp3");
    piece.Title.clear();
    EXPECT_EQ(PieceFileName("..", piece, 9, "x", "", ""), "07.mp3");
    EXPECT_EQ(PieceFileName("{title}", piece, 120, "x", "", ""), "007.mp3");
}

} // namespace
