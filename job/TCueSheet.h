#pragma once
// A cue sheet as a recording's track list: the album's title and performer, the file it names,
// and for every track its number, title, performer and where it begins (INDEX 01). Times on a
// sheet count minutes, seconds and frames of 1/75 s.
//
// Plain data; no threads.

#include <QString>

#include <cstdint>
#include <vector>

struct TCueTrack {
    int Number = 0;
    QString Title;
    QString Performer;
    int64_t StartUs = -1; // INDEX 01, µs from the file's start
};

class TCueSheet {
public:
    // Reads the sheet from text. False with a message naming the line when it is not a sheet
    // we can split by: a command out of place, a time that is not mm:ss:ff, a track without
    // INDEX 01, tracks out of order, more than one FILE, or no track at all.
    bool Parse(const QString& text, QString& error);
    // Reads fileName (UTF-8, with or without a byte order mark; other bytes are taken as
    // Latin-1, which older rippers wrote, a mark before them dropped all the same) and parses
    // it.
    bool Load(const QString& fileName, QString& error);

    QString Title;     // the album
    QString Performer; // the album's performer
    QString File;      // as the FILE line names it; "" when there is none
    std::vector<TCueTrack> Tracks;

    // "mm:ss:ff" in µs (frames of 1/75 s); -1 when the text is not such a time.
    static int64_t ParseTime(const QString& text);
};
