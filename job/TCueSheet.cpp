#include "job/TCueSheet.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

namespace {

// The words of a line: quoted strings are one word without their quotes.
QStringList Words(const QString& line) {
    QStringList words;
    QString word;
    bool quoted = false, inWord = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

} // namespace

int64_t TCueSheet::ParseTime(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,4}):(\\d{2}):(\\d{2})$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return -1;
    const int64_t minutes = m.captured(1).toLongLong();
    const int seconds = m.captured(2).toInt(), frames = m.captured(3).toInt();
    if (seconds >= 60 || frames >= 75)
        return -1;
    // Frames to µs exactly: 1/75 s = 13 333.33 µs, so multiply before dividing.
    return (minutes * 60 + seconds) * 1000000 + int64_t(frames) * 1000000 / 75;
}

bool TCueSheet::Parse(const QString& text, QString& error) {
    *this = TCueSheet();
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    bool haveFile = false;
    auto fail = [&](int line, const QString& why) {
        error = QStringLiteral("cue sheet line %1: %2").arg(line).arg(why);
        return false;
    };
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        const QStringList w = Words(lines[i]);
        if (w.isEmpty())
            continue;
        const QString command = w[0].toUpper();
        TCueTrack* track = Tracks.empty() ? nullptr : &Tracks.back();
        if (command == QLatin1String("REM") || command == QLatin1String("CATALOG") ||
            command == QLatin1String("CDTEXTFILE") || command == QLatin1String("SONGWRITER") ||
            command == QLatin1String("ISRC") || command == QLatin1String("FLAGS") ||
            command == QLatin1String("PREGAP") || command == QLatin1String("POSTGAP"))
            continue;
        if (command == QLatin1String("TITLE") || command == QLatin1String("PERFORMER")) {
            if (w.size() != 2)
                return fail(lineNumber, QStringLiteral("%1 needs one text").arg(command));
            const bool title = command == QLatin1String("TITLE");
            if (track)
                (title ? track->Title : track->Performer) = w[1];
            else
                (title ? Title : Performer) = w[1];
            continue;
        }
        if (command == QLatin1String("FILE")) {
            if (haveFile)
                return fail(lineNumber, QStringLiteral("more than one FILE: a split reads one "
                                                       "source"));
            if (w.size() < 2 || w[1].isEmpty())
                return fail(lineNumber, QStringLiteral("FILE needs a name"));
            File = w[1];
            haveFile = true;
            continue;
        }
        if (command == QLatin1String("TRACK")) {
            bool ok = false;
            const int number = w.size() >= 2 ? w[1].toInt(&ok) : 0;
            if (!ok || number < 1 || number > 99)
                return fail(lineNumber, QStringLiteral("TRACK needs a number from 1 to 99"));
            if (track && track->StartUs < 0)
                return fail(lineNumber,
                            QStringLiteral("track %1 has no INDEX 01").arg(track->Number));
            if (track && number <= track->Number)
                return fail(lineNumber, QStringLiteral("track numbers do not increase"));
            TCueTrack t;
            t.Number = number;
            Tracks.push_back(t);
            continue;
        }
        if (command == QLatin1String("INDEX")) {
            if (!track)
                return fail(lineNumber, QStringLiteral("INDEX before the first TRACK"));
            bool ok = false;
            const int number = w.size() == 3 ? w[1].toInt(&ok) : -1;
            const int64_t at = w.size() == 3 ? ParseTime(w[2]) : -1;
            if (!ok || number < 0 || number > 99 || at < 0)
                return fail(lineNumber, QStringLiteral("INDEX needs a number and mm:ss:ff"));
            if (number != 1)
                continue; // pregaps and sub-indexes do not start a piece
            if (track->StartUs >= 0)
                return fail(lineNumber,
                            QStringLiteral("track %1 has two INDEX 01").arg(track->Number));
            if (Tracks.size() > 1 && at <= Tracks[Tracks.size() - 2].StartUs)
                return fail(lineNumber, QStringLiteral("track %1 does not start after the one "
                                                       "before it")
                                            .arg(track->Number));
            track->StartUs = at;
            continue;
        }
        return fail(lineNumber, QStringLiteral("unknown command %1").arg(w[0]));
    }
    if (Tracks.empty())
        return fail(int(lines.size()), QStringLiteral("the sheet has no TRACK"));
    if (Tracks.back().StartUs < 0)
        return fail(int(lines.size()),
                    QStringLiteral("track %1 has no INDEX 01").arg(Tracks.back().Number));
    return true;
}

bool TCueSheet::Load(const QString& fileName, QString& error) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error =
            QStringLiteral("cannot read the cue sheet %1: %2").arg(fileName, file.errorString());
        return false;
    }
    // A sheet is a few kilobytes; anything far larger is not one.
    if (file.size() > 1 << 20) {
        error = QStringLiteral("%1 is too large for a cue sheet").arg(fileName);
        return false;
    }
    QByteArray bytes = file.readAll();
    // The mark goes before the encoding is chosen: a sheet edited by several tools may carry
    // both a UTF-8 mark and a title in Latin-1, and read as Latin-1 the mark is three letters.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    return Parse(text, error);
}
