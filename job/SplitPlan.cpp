#include "job/SplitPlan.h"

#include "job/TCueSheet.h"

#include <algorithm>

namespace {

constexpr int64_t Second = 1000000; // µs

// "60.020 s"; microseconds only when the time has them ("60.020500 s").
QString ClockText(int64_t us) {
    if (us % 1000 != 0)
        return QString::asprintf("%lld.%06lld s", (long long)(us / Second),
                                 (long long)(us % Second));
    return QString::asprintf("%lld.%03lld s", (long long)(us / Second),
                             (long long)(us % Second / 1000));
}

QString FrameText(int64_t frameUs) {
    return QStringLiteral("one MP3 frame (%1)").arg(ClockText(frameUs));
}

QString TooManyPieces(int64_t count) {
    return QStringLiteral("the split would make %1 pieces; one split makes at most %2")
        .arg(count)
        .arg(MaxSplitPieces);
}

// Checks what every plan needs of the bounds; "" when they will do.
QString CheckBounds(const TSplitBounds& bounds) {
    if (bounds.AudioEndUs <= 0)
        return QStringLiteral("the length of the source's audio is not known");
    if (bounds.AudioEndUs < bounds.MinPieceUs)
        return QStringLiteral("the audio (%1) is shorter than %2")
            .arg(ClockText(bounds.AudioEndUs), FrameText(bounds.MinPieceUs));
    return QString();
}

// Makes consecutive pieces from their start times (rising, the first 0, all before the end), the
// last one running to the end of the audio. A piece shorter than a frame is refused, except the
// last, which joins the one before it: what the encoder would make of it is mostly padding, and
// a player may not even open it. whatStarts(i) names the start of piece i for the messages.
template <class Names>
QString PiecesFromStarts(std::vector<int64_t> starts, const TSplitBounds& bounds,
                         std::vector<TSplitPiece>& pieces, QStringList* notices, Names whatStarts) {
    pieces.clear();
    if (starts.size() > size_t(MaxSplitPieces))
        return TooManyPieces(int64_t(starts.size()));
    const int64_t end = bounds.AudioEndUs;
    if (starts.size() > 1 && end - starts.back() < bounds.MinPieceUs) {
        if (notices)
            *notices << QStringLiteral("Notice: %1 is less than %2 before the end of the audio "
                                       "(%3); what follows it joins the piece before it.")
                            .arg(whatStarts(starts.size() - 1), FrameText(bounds.MinPieceUs),
                                 ClockText(end));
        starts.pop_back();
    }
    for (size_t i = 0; i + 1 < starts.size(); ++i)
        if (starts[i + 1] - starts[i] < bounds.MinPieceUs)
            return QStringLiteral("the piece from %1 to %2 would be shorter than %3")
                .arg(ClockText(starts[i]), ClockText(starts[i + 1]), FrameText(bounds.MinPieceUs));
    for (size_t i = 0; i < starts.size(); ++i) {
        TSplitPiece p;
        p.Number = int(i) + 1;
        p.StartUs = starts[i];
        p.ToEnd = i + 1 == starts.size();
        p.EndUs = p.ToEnd ? end : starts[i + 1];
        pieces.push_back(p);
    }
    return QString();
}

} // namespace

int64_t SplitFrameUs(int sampleRate) {
    if (sampleRate <= 0)
        return (576 * Second + 7999) / 8000;
    const int64_t rate = std::min(sampleRate, 48000);
    const int64_t samples = rate >= 32000 ? 1152 : 576;
    return (samples * Second + rate - 1) / rate;
}

QString PlanAtPoints(const std::vector<int64_t>& points, const TSplitBounds& bounds,
                     std::vector<TSplitPiece>& pieces, QStringList* notices) {
    pieces.clear();
    if (const QString refused = CheckBounds(bounds); !refused.isEmpty())
        return refused;
    if (points.size() >= size_t(MaxSplitPieces))
        return TooManyPieces(int64_t(points.size()) + 1);
    std::vector<int64_t> starts{0};
    for (const int64_t p : points) {
        if (p <= 0)
            return QStringLiteral("a cut point must be after the start (0)");
        if (p >= bounds.AudioEndUs)
            return QStringLiteral("the cut point %1 is at or beyond the end of the audio (%2)")
                .arg(ClockText(p), ClockText(bounds.AudioEndUs));
        if (p <= starts.back())
            return QStringLiteral("the cut points must rise: %1 follows %2")
                .arg(ClockText(p), ClockText(starts.back()));
        starts.push_back(p);
    }
    return PiecesFromStarts(starts, bounds, pieces, notices, [&](size_t i) {
        return QStringLiteral("The cut point %1").arg(ClockText(starts[i]));
    });
}

QString PlanEvery(int64_t lengthUs, const TSplitBounds& bounds, std::vector<TSplitPiece>& pieces,
                  QStringList* notices) {
    pieces.clear();
    if (const QString refused = CheckBounds(bounds); !refused.isEmpty())
        return refused;
    const int64_t end = bounds.AudioEndUs;
    if (lengthUs <= 0)
        return QStringLiteral("--every needs a length above 0");
    if (lengthUs < bounds.MinPieceUs)
        return QStringLiteral("--every %1 is shorter than %2")
            .arg(ClockText(lengthUs), FrameText(bounds.MinPieceUs));
    if (lengthUs >= end)
        return QStringLiteral("--every %1 is %2 the audio (%3): there is nothing to split")
            .arg(ClockText(lengthUs),
                 lengthUs > end ? QStringLiteral("longer than") : QStringLiteral("as long as"),
                 ClockText(end));
    // The piece k (from 0) starts at k × lengthUs while what is left after it is at least
    // `join` long; a shorter remainder joins the last piece. Counted before anything is made.
    const int64_t join = std::min(Second, lengthUs);
    const int64_t count = 1 + std::max<int64_t>(0, (end - join) / lengthUs);
    if (count > MaxSplitPieces)
        return TooManyPieces(count);
    std::vector<int64_t> starts;
    for (int64_t k = 0; k < count; ++k)
        starts.push_back(k * lengthUs);
    return PiecesFromStarts(starts, bounds, pieces, notices, [&](size_t i) {
        return QStringLiteral("Piece %1, at %2,").arg(i + 1).arg(ClockText(starts[i]));
    });
}

QString PlanCueSheet(const TCueSheet& sheet, const TSplitBounds& bounds,
                     std::vector<TSplitPiece>& pieces, QStringList* notices) {
    pieces.clear();
    if (const QString refused = CheckBounds(bounds); !refused.isEmpty())
        return refused;
    std::vector<int64_t> starts;
    for (const TCueTrack& t : sheet.Tracks) {
        if (t.StartUs >= bounds.AudioEndUs)
            return QStringLiteral("track %1 starts at %2, at or beyond the end of the audio (%3)")
                .arg(t.Number)
                .arg(ClockText(t.StartUs), ClockText(bounds.AudioEndUs));
        starts.push_back(starts.empty() ? 0 : t.StartUs);
    }
    const QString refused = PiecesFromStarts(starts, bounds, pieces, notices, [&](size_t i) {
        return QStringLiteral("Track %1, at %2,")
            .arg(sheet.Tracks[i].Number)
            .arg(ClockText(starts[i]));
    });
    if (!refused.isEmpty())
        return refused;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const TCueTrack& t = sheet.Tracks[i];
        pieces[i].Number = t.Number;
        pieces[i].Title = t.Title;
        pieces[i].Artist = t.Performer.isEmpty() ? sheet.Performer : t.Performer;
    }
    return QString();
}

QString PieceFileName(const QString& pattern, const TSplitPiece& piece, int pieceCount,
                      const QString& sourceBaseName, const QString& sourceTitle,
                      const QString& sourceArtist) {
    const int width =
        std::max<int>(2, int(QString::number(std::max(pieceCount, piece.Number)).size()));
    const QString number = QStringLiteral("%1").arg(piece.Number, width, 10, QLatin1Char('0'));
    QString name = pattern;
    name.replace(QLatin1String("{n}"), number);
    name.replace(QLatin1String("{title}"), piece.Title.isEmpty() ? sourceTitle : piece.Title);
    name.replace(QLatin1String("{artist}"), piece.Artist.isEmpty() ? sourceArtist : piece.Artist);
    name.replace(QLatin1String("{name}"), sourceBaseName);
    for (QChar& c : name)
        if (c.unicode() < 32 || c.unicode() == 127 || QStringLiteral("/\\:*?\"<>|").contains(c))
            c = QLatin1Char('_');
    name = name.trimmed();
    if (!name.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive))
        name += QLatin1String(".mp3");
    // Nothing before the extension, or a leading dot (".." as a title gives "...mp3"): a file
    // the user would not see, or no name at all. The number is the piece's name then.
    if (name.startsWith(QLatin1Char('.')))
        name = number + QLatin1String(".mp3");
    return name;
}
