#pragma once
// How a split divides a source into pieces and names them, as plain functions of the source's
// length and the user's choices; the command line runs the pieces.
//
// Pieces follow each other without gap or overlap, so their decodes joined end to end are the
// source again. Times are µs from the source's start.

#include <QString>

#include <cstdint>
#include <vector>

class TCueSheet;

struct TSplitPiece {
    int Number = 0;      // 1, 2, ...
    int64_t StartUs = 0; // where the piece begins
    int64_t EndUs = 0;   // where it ends; the source's length for the last piece
    bool ToEnd = false;  // the last piece: it runs to whatever the source holds at its end
    QString Title;       // from a cue sheet; "" otherwise
    QString Artist;      // from a cue sheet; "" otherwise
};

// The pieces cut at points, which must rise strictly and lie inside the source (after 0,
// before durationUs). The error text, or "" with pieces filled.
QString PlanAtPoints(const std::vector<int64_t>& points, int64_t durationUs,
                     std::vector<TSplitPiece>& pieces);
// Pieces of lengthUs each from the start; a remainder shorter than a second joins the piece
// before it rather than making a piece of the encoder's padding.
QString PlanEvery(int64_t lengthUs, int64_t durationUs, std::vector<TSplitPiece>& pieces);
// One piece per track of the sheet, each from its INDEX 01 to the next track's. The first piece
// begins at the source's start so that nothing before the first index is lost.
QString PlanCueSheet(const TCueSheet& sheet, int64_t durationUs, std::vector<TSplitPiece>& pieces);

// The file name of a piece from pattern: {n} is its number zero-padded to the width of the
// largest number (two digits at least), {title} and {artist} its tags (or the source's when the
// piece has none), {name} the source's base name. Characters that file systems refuse (a
// slash, the characters Windows file systems refuse, control characters) become "_"; ".mp3"
// is added when the name does not end with it.
QString PieceFileName(const QString& pattern, const TSplitPiece& piece, int pieceCount,
                      const QString& sourceBaseName, const QString& sourceTitle,
                      const QString& sourceArtist);
