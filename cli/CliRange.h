#pragma once
// The range a cut on the command line really gets. The window counts whole seconds inside the
// whole-second length, so the fraction of the last second can never be cut there; here an end
// at or past the end of the audio means its real end, fraction included, found from the file's
// packets rather than from a header that may promise more than the file holds.

#include "cli/CliOptions.h"
#include "media/decode/AudioExtent.h"

#include <QString>
#include <QStringList>

#include <cstdint>

struct TCliRange {
    int64_t StartUs = 0; // µs on the source's timeline
    int64_t EndUs = 0;
    QStringList Notices; // one line each: what was changed from the range asked
    QString Refusal;     // not empty: nothing can be cut, and why
};

// How far the source's packets must be scanned for request (µs): to the asked end when that may
// lie at or past the end of the audio, otherwise only to the first packet, which shows there is
// audio at all. The header's duration (headerUs) and the size (bytes) over the bit rate (bits per
// second) both bound where the audio can end: a truncated file keeps its header but not its size.
// A deep range of a long file is then cut without reading the file twice.
int64_t ScanLimit(const TCliRequest& request, int64_t headerUs, int64_t fileSize, int bitRate);

// The range of request (its whole seconds, and its texts for quoting) in source, whose header
// gives headerUs (µs, -1 when unknown) and whose packets, scanned up to the asked end, gave
// extent.
TCliRange ResolveCutRange(const TCliRequest& request, const QString& source, int64_t headerUs,
                          const TAudioExtent& extent);
