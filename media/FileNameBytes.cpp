#include "media/FileNameBytes.h"

#include <cstring>

namespace {

constexpr char16_t EscapeBase = 0xDC00;
constexpr char16_t FirstEscape = 0xDC80, LastEscape = 0xDCFF;

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at p (1..4), or 0 when the byte at p starts none.
// Overlong forms, encoded surrogates and values past U+10FFFF are not valid: they would decode
// to text that encodes to other bytes.
int SequenceLength(const unsigned char* p, qsizetype left) {
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else
        return 0;
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (!IsContinuation(p[i]))
            return 0;
    return length;
}

void AppendUtf8(QByteArray& out, char32_t u) {
    if (u < 0x80) {
        out.append(char(u));
    } else if (u < 0x800) {
        out.append(char(0xC0 | (u >> 6)));
        out.append(char(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
        out.append(char(0xE0 | (u >> 12)));
        out.append(char(0x80 | ((u >> 6) & 0x3F)));
        out.append(char(0x80 | (u & 0x3F)));
    } else {
        out.append(char(0xF0 | (u >> 18)));
        out.append(char(0x80 | ((u >> 12) & 0x3F)));
        out.append(char(0x80 | ((u >> 6) & 0x3F)));
        out.append(char(0x80 | (u & 0x3F)));
    }
}

} // namespace

QString DecodeFileName(const QByteArray& bytes) {
    QString name;
    name.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        // Runs of valid UTF-8 go through Qt's decoder in one piece.
        qsizetype end = i;
        int length;
        while (end < size && (length = SequenceLength(p + end, size - end)) > 0)
            end += length;
        if (end > i)
            name += QString::fromUtf8(bytes.constData() + i, end - i);
        if (end < size)
            name += QChar(char16_t(EscapeBase + p[end++]));
        i = end;
    }
    return name;
}

QString DecodeFileName(const char* bytes) {
    return bytes == nullptr ? QString() : DecodeFileName(QByteArray(bytes));
}

QByteArray EncodeFileName(const QString& name) {
    QByteArray out;
    out.reserve(name.size() * 3);
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = name[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < size && name[i + 1].isLowSurrogate()) {
            AppendUtf8(out, QChar::surrogateToUcs4(u, name[++i].unicode()));
        } else if (u >= FirstEscape && u <= LastEscape) {
            out.append(char(u - EscapeBase));
        } else if (QChar::isSurrogate(u)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

bool CanEncodeFileName(const QString& name) {
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = name[i].unicode();
        if (u == 0)
            return false;
        if (QChar::isHighSurrogate(u) && i + 1 < size && name[i + 1].isLowSurrogate())
            ++i;
        else if (QChar::isSurrogate(u) && (u < FirstEscape || u > LastEscape))
            return false;
    }
    return true;
}

QStringList ProgramArguments(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i)
        arguments << DecodeFileName(argv[i]);
    return arguments;
}
