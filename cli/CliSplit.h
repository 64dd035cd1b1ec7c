#pragma once
// snipwave-cli split: one source into pieces at given points, at equal lengths or by a cue
// sheet, every piece a task of one encoder run on as many workers as asked. Parsing touches no
// file; every check that needs the source or the sheet is the command's, and all of them come
// before the first piece is written.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

struct TSplitRequest {
    QString Source;            // as given; "" = the file the cue sheet names
    std::vector<int64_t> AtUs; // --at: cut points, µs
    int64_t EveryUs = 0;       // --every: piece length, µs; INT64_MAX when too large to count
    QString EveryText;         // --every as typed, for messages
    QString CueSheet;          // --cue: the sheet's file name
    QString OutputDir;         // "" = the source's folder
    QString NamePattern = QStringLiteral("{name}_{n}.mp3");
    int64_t FadeUs = 3000000; // --fade, µs; 0 = none
    int Jobs = 0;             // --jobs; 0 = one per core
    bool Force = false;       // replace existing pieces
    bool KeepTags = true;     // off with --no-tags
    bool Smart = false;       // --smart: copy the frames where that can be done
};

// A time of a split in µs: "S", "M:SS" or "H:MM:SS" as for a cut, each optionally with a
// fraction of a second after "." (up to microseconds), or seconds with an exponent ("1e3",
// "2.5E1"); nullopt for anything else, and for a time beyond 2^40 s, which sets *tooLarge.
std::optional<int64_t> ParseSplitTime(const QString& text, bool* tooLarge = nullptr);

// The arguments after "split"; nullopt with a one-line usage message in error.
std::optional<TSplitRequest> ParseSplitCommandLine(const QStringList& arguments, QString& error);

QString SplitUsageText();

// Runs the split; the process's exit status.
int RunSplit(const TSplitRequest& request);
