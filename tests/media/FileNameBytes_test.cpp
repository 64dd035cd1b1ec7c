// File names as bytes: any byte string survives decoding and encoding, valid UTF-8 reads as its
// text, and everything else is escaped so that it cannot be mistaken for text.
#include "media/FileNameBytes.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

TEST(FileNameBytes, AnyBytesSurviveTheRoundTrip) {
    for (int b = 1; b < 256; ++b) {
        const QByteArray one(1, char(b));
        EXPECT_EQ(EncodeFileName(DecodeFileName(one)), one) << b;
    }
    // Random strings are mostly broken UTF-8, with every kind of partial sequence.
    QRandomGenerator random(4);
    for (int i = 0; i < 5000; ++i) {
        QByteArray bytes(int(random.bounded(1, 24)), '\0');
        for (char& c : bytes)
            c = char(random.bounded(1, 256));
        const QString name = DecodeFileName(bytes);
        ASSERT_EQ(EncodeFileName(name), bytes) << bytes.toHex().constData();
        EXPECT_TRUE(CanEncodeFileName(name));
    }
}

TEST(FileNameBytes, ValidUtf8IsTextAndTheRestIsEscaped) {
    const QString text = QString::fromUtf8("Ünïcødé 歌 \xF0\x9F\x8E\xB5.mp3");
    EXPECT_EQ(DecodeFileName(text.toUtf8()), text);
    EXPECT_EQ(EncodeFileName(text), text.toUtf8());

    const std::pair<QByteArray, QString> escaped[] = {
        {"x\xff.mp3", QString("x") + QChar(0xDCFF) + ".mp3"},
        // An overlong "/" must not become a folder separator.
        {"\xc0\xaf", QString(QChar(0xDCC0)) + QChar(0xDCAF)},
        // An encoded surrogate, a value past U+10FFFF, a sequence cut short.
        {"\xed\xa0\x80", QString(QChar(0xDCED)) + QChar(0xDCA0) + QChar(0xDC80)},
        {"\xf4\x90\x80\x80",
         QString(QChar(0xDCF4)) + QChar(0xDC90) + QChar(0xDC80) + QChar(0xDC80)},
        {"\xe6\xad" "a", QString(QChar(0xDCE6)) + QChar(0xDCAD) + "a"},
    };
    for (const auto& [bytes, name] : escaped) {
        EXPECT_EQ(DecodeFileName(bytes), name) << bytes.toHex().constData();
        EXPECT_EQ(EncodeFileName(name), bytes) << bytes.toHex().constData();
    }

    // Surrogates that are no escapes, and NUL, have no bytes of their own.
    EXPECT_FALSE(CanEncodeFileName(QString("a") + QChar(0xD800) + "b"));
    EXPECT_FALSE(CanEncodeFileName(QString("a") + QChar(0xDC10)));
    EXPECT_FALSE(CanEncodeFileName(QString("a") + QChar(0) + "b"));
    EXPECT_TRUE(CanEncodeFileName(text));
}

TEST(FileNameBytes, ProgramArgumentsKeepTheirBytes) {
    const char* argv[] = {"prog", "info", "x\xff.mp3", nullptr};
    const QStringList arguments = ProgramArguments(3, argv);
    ASSERT_EQ(arguments.size(), 3);
    EXPECT_EQ(arguments[1], "info");
    EXPECT_EQ(EncodeFileName(arguments[2]), QByteArray("x\xff.mp3"));
}

} // namespace
