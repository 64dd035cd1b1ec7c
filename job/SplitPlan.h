#pragma once
// How a split divides a source into pieces and names them, as plain functions of the source's
// length and the user's choices; the command line runs the pieces.
//
// Pieces follow each other without gap or overlap, so their decodes joined end to end are the
// source again. Times are µs from the source's start. Every plan is checked whole before the
// first piece is written: a refusal leaves nothing behind.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class TCueSheet;

struct TSplitPiece {
    int Number = 0;      // 1, 2, ...
    int64_t StartUs = 0; // where the piece begins
    int64_t EndUs = 0;   // where it ends; the end of the audio for the last piece
    bool ToEnd = false;  // the last piece: it runs to the end of the audio
    QString Title;       // from a cue sheet; "" otherwise
    QString Artist;      // from a cue sheet; "" otherwise
};

// What a plan is made against.
struct TSplitBounds {
    // Where the source's audio really ends, as its frames show (the header's duration may count
    // the encoder's padding or data a truncated file no longer holds); <= 0 when unknown.
    int64_t AudioEndUs = -1;
    // One MP3 frame of the pieces (SplitFrameUs): no piece may be shorter.
    int64_t MinPieceUs = 0;
};

// The most pieces one split makes: a plan with more is refused before anything is written.
inline constexpr int MaxSplitPieces = 10000;

// The length of one MP3 frame of a piece from a source of sampleRate Hz, rounded up: 1152
// samples at the MPEG-1 rates (32 kHz and up; LAME writes no higher rate than 48 kHz), 576
// below them. An unknown rate gives the longest frame, 576 samples at 8 kHz.
int64_t SplitFrameUs(int sampleRate);

// The pieces cut at points, which must rise strictly and lie inside the audio (after 0, before
// its end). No piece may be shorter than a frame, except the last one, which then joins the
// piece before it (a notice in notices says so). The error text, or "" with pieces filled.
QString PlanAtPoints(const std::vector<int64_t>& points, const TSplitBounds& bounds,
                     std::vector<TSplitPiece>& pieces, QStringList* notices = nullptr);
// Pieces of lengthUs each from the start. A remainder shorter than a second (or than lengthUs,
// when that is shorter) joins the piece before it. Refused when lengthUs is shorter than a frame
// or not shorter than the audio, and when there would be more than MaxSplitPieces pieces; the
// count is known before any piece is made.
QString PlanEvery(int64_t lengthUs, const TSplitBounds& bounds, std::vector<TSplitPiece>& pieces,
                  QStringList* notices = nullptr);
// One piece per track of the sheet, each from its INDEX 01 to the next track's. The first piece
// begins at the source's start so that nothing before the first index is lost. A track that
// starts at or after the end of the audio is refused; the rules of PlanAtPoints hold.
QString PlanCueSheet(const TCueSheet& sheet, const TSplitBounds& bounds,
                     std::vector<TSplitPiece>& pieces, QStringList* notices = nullptr);

// The file name of a piece from pattern: {n} is its number zero-padded to the width of the
// largest number (two digits at least), {title} and {artist} its tags (or the source's when the
// piece has none), {name} the source's base name. Characters that file systems refuse (a
// slash, the characters Windows file systems refuse, control characters) become "_"; ".mp3"
// is added when the name does not end with it. A name that would be empty or hidden (one that
// begins with ".", such as a title ".." gives) is the piece's number instead: "07.mp3".
QString PieceFileName(const QString& pattern, const TSplitPiece& piece, int pieceCount,
                      const QString& sourceBaseName, const QString& sourceTitle,
                      const QString& sourceArtist);
