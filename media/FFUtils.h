#pragma once
// Texts the media layer shares with the command-line transcoder it follows: times, library
// error codes, media type names, and the string cutter of the option parsers. None of them
// needs a loaded library.

#include <QString>
#include <cstdint>

// "HH:MM:SS.mmm" of a time in microseconds (hours may take more digits), "N/A" for
// AV_NOPTS_VALUE. A negative time carries one leading "-".
QString TimeText(int64_t us);

// The text of an FFmpeg error code; codes without a text of their own give
// "Error number <code> occurred". The one table of these texts: every message that quotes a
// library error takes its words from here.
QString LibErrorText(int code);

// fileName + ": " + LibErrorText(code).
QString LibErrorText(const QString& fileName, int code);

// The text of an error of our own file access (opening, reading or writing a file through the
// wide-name protocol), where the code is a negated system error number: the table's text when
// it has one, else the system's own words ("No space left on device", "Too many levels of
// symbolic links"), which tell the user far more than a bare number; codes that are not system
// error numbers fall back to LibErrorText.
QString FileErrorText(int code);

// "Video", "Audio", "Data", "Subtitle", "Attachment" for the AVMediaType values 0-4,
// "Unknown" otherwise.
QString MediaTypeName(int type);

// head := the text before the first delim; with remove, text := the text after it. When delim
// does not occur (an empty delim never does), head := text and, with remove, text := "".
// So a parser that cuts until text is empty always ends.
void CutText(QString& text, const QString& delim, bool remove, QString& head);
