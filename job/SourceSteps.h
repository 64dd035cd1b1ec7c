#pragma once
// The window-free steps around a chosen source that the window and the command line share:
// opening it in the probe with the same messages and log lines, the trackbar length it gives,
// the check that a range holds something to cut, and which of a set of dropped or named files is
// a source.
//
// Threads: main thread (the probe and the log are the main thread's).

#include "job/CutRules.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <cstdint>

class TCustomDecoder;

// Opens fileName in probe as a chosen source: binds the probe's libraries from libraryFolder
// when they are not bound yet, opens and reads the file, and writes its information block to
// the log. False with the message to show in message; the failure is logged already.
bool OpenSource(TCustomDecoder& probe, const QString& fileName, const QString& libraryFolder,
                TSourceInfo& info, QString& message);

// The trackbar's length in whole seconds for a duration in µs: truncated, 0 when unknown.
int64_t TrackbarSeconds(int64_t durationUs);

// Empty when the range start..end (whole seconds, inside a file of `seconds`) has something to
// cut; otherwise why not. An empty range would make a file with no audio.
QString EmptyRangeMessage(int64_t start, int64_t end, int64_t seconds);

// The first local MP3 file among urls (by its extension, in any case); empty when none.
QString DroppedSourceFile(const QList<QUrl>& urls);

// A file named on the command line as a full local name: relative names are taken against the
// current folder, and a file: URI (as some file managers pass) becomes its local name.
QString CommandLineSourceFile(const QString& argument);
