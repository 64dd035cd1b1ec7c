// The split's planning: cue sheets as rippers and recorders write them, pieces that follow each
// other without gap, and file names a file system takes.
#include "app/SplitPlan.h"
#include "app/TCueSheet.h"

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

TEST(SplitPlanTest, PiecesFollowEachOtherToTheEnd) {
    std::vector<TSplitPiece> pieces;
    ASSERT_EQ(PlanAtPoints({60 * S, 120 * S + S / 2}, 200 * S, pieces), QString());
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].StartUs, 0);
    EXPECT_EQ(pieces[0].EndUs, 60 * S);
    EXPECT_EQ(pieces[1].StartUs, 60 * S);
    EXPECT_EQ(pieces[2].StartUs, 120 * S + S / 2);
    EXPECT_EQ(pieces[2].EndUs, 200 * S);
    EXPECT_TRUE(pieces[2].ToEnd);
    EXPECT_EQ(pieces[2].Number, 3);

    EXPECT_TRUE(PlanAtPoints({200 * S}, 200 * S, pieces).contains("beyond the end"));
    EXPECT_TRUE(PlanAtPoints({0}, 200 * S, pieces).contains("after the start"));
    EXPECT_TRUE(PlanAtPoints({90 * S, 30 * S}, 200 * S, pieces).contains("must rise"));
    EXPECT_FALSE(PlanAtPoints({10 * S}, -1, pieces).isEmpty());

    // Equal pieces; a bit of padding's length at the end is not a piece of its own.
    ASSERT_EQ(PlanEvery(50 * S, 200 * S + 39000, pieces), QString());
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[3].StartUs, 150 * S);
    ASSERT_EQ(PlanEvery(60 * S, 200 * S, pieces), QString());
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[3].EndUs - pieces[3].StartUs, 20 * S);
    EXPECT_FALSE(PlanEvery(0, 200 * S, pieces).isEmpty());
}

TEST(SplitPlanTest, CueTracksBecomePiecesWithTheirTags) {
    TCueSheet sheet;
    QString error;
    ASSERT_TRUE(sheet.Parse("PERFORMER Band\nTRACK 01 AUDIO\nTITLE One\nINDEX 01 00:02:00\n"
                            "TRACK 02 AUDIO\nTITLE Two\nPERFORMER Guest\nINDEX 01 01:00:00\n",
                            error));
    std::vector<TSplitPiece> pieces;
    ASSERT_EQ(PlanCueSheet(sheet, 200 * S, pieces), QString());
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].StartUs, 0); // nothing before the first index is lost
    EXPECT_EQ(pieces[0].Artist, "Band");
    EXPECT_EQ(pieces[1].Artist, "Guest");
    EXPECT_EQ(pieces[1].Title, "Two");
    EXPECT_EQ(pieces[1].StartUs, 60 * S);
    EXPECT_TRUE(PlanCueSheet(sheet, 50 * S, pieces).contains("track 2"));
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
    EXPECT_EQ(PieceFileName("{title}", piece, 9, "x", "", ""), "_.mp3");
    EXPECT_EQ(PieceFileName("..", piece, 9, "x", "", ""), "_.mp3");
    EXPECT_EQ(PieceFileName("a\tb\x01", piece, 9, "x", "", ""), "a_b_.mp3");
}

} // namespace
