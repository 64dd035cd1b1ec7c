#include "job/SplitPlan.h"

#include "job/TCueSheet.h"

#include <algorithm>

namespace {

constexpr int64_t Second = 1000000; // µs

QString ClockText(int64_t us) {
    return QString::asprintf("%lld.%03lld s", (long long)(us / Second),
                             (long long)(us % Second / 1000));
}

// Makes consecutive pieces from their start times, the last one running to the end.
void PiecesFromStarts(const std::vector<int64_t>& starts, int64_t durationUs,
                      std::vector<TSplitPiece>& pieces) {
    pieces.clear();
    for (size_t i = 0; i < starts.size(); ++i) {
        TSplitPiece p;
        p.Number = int(i) + 1;
        p.StartUs = starts[i];
        p.ToEnd = i + 1 == starts.size();
        p.EndUs = p.ToEnd ? durationUs : starts[i + 1];
        pieces.push_back(p);
    }
}

} // namespace

QString PlanAtPoints(const std::vector<int64_t>& points, int64_t durationUs,
                     std::vector<TSplitPiece>& pieces) {
    if (durationUs <= 0)
        return QStringLiteral("the source's length is not known");
    std::vector<int64_t> starts{0};
    for (const int64_t p : points) {
        if (p <= 0)
            return QStringLiteral("a cut point must be after the start (0)");
        if (p >= durationUs)
            return QStringLiteral("the cut point %1 is beyond the end of the source (%2)")
                .arg(ClockText(p), ClockText(durationUs));
        if (p <= starts.back())
            return QStringLiteral("the cut points must rise: %1 follows %2")
                .arg(ClockText(p), ClockText(starts.back()));
        starts.push_back(p);
    }
    PiecesFromStarts(starts, durationUs, pieces);
    return QString();
}

QString PlanEvery(int64_t lengthUs, int64_t durationUs, std::vector<TSplitPiece>& pieces) {
    if (durationUs <= 0)
        return QStringLiteral("the source's length is not known");
    if (lengthUs <= 0)
        return QStringLiteral("--every needs a length above 0");
    std::vector<int64_t> starts{0};
    while (durationUs - (starts.back() + lengthUs) >= Second)
        starts.push_back(starts.back() + lengthUs);
    PiecesFromStarts(starts, durationUs, pieces);
    return QString();
}

QString PlanCueSheet(const TCueSheet& sheet, int64_t durationUs, std::vector<TSplitPiece>& pieces) {
    if (durationUs <= 0)
        return QStringLiteral("the source's length is not known");
    std::vector<int64_t> starts;
    for (const TCueTrack& t : sheet.Tracks) {
        if (t.StartUs >= durationUs)
            return QStringLiteral("track %1 starts at %2, beyond the end of the source (%3)")
                .arg(t.Number)
                .arg(ClockText(t.StartUs), ClockText(durationUs));
        starts.push_back(starts.empty() ? 0 : t.StartUs);
    }
    PiecesFromStarts(starts, durationUs, pieces);
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
    QString name = pattern;
    name.replace(QLatin1String("{n}"),
                 QStringLiteral("%1").arg(piece.Number, width, 10, QLatin1Char('0')));
    name.replace(QLatin1String("{title}"), piece.Title.isEmpty() ? sourceTitle : piece.Title);
    name.replace(QLatin1String("{artist}"), piece.Artist.isEmpty() ? sourceArtist : piece.Artist);
    name.replace(QLatin1String("{name}"), sourceBaseName);
    for (QChar& c : name)
        if (c.unicode() < 32 || c.unicode() == 127 || QStringLiteral("/\\:*?\"<>|").contains(c))
            c = QLatin1Char('_');
    name = name.trimmed();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("_");
    if (!name.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive))
        name += QLatin1String(".mp3");
    return name;
}
