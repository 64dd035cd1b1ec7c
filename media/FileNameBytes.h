#pragma once
// File names as the system has them: bytes. Linux takes any byte but "/" and NUL in a name, and
// not every name is UTF-8; a name read with a lossy decoder (U+FFFD for what is not UTF-8) and
// written back names another file, or none. Here a name's valid UTF-8 becomes its text and every
// other byte b becomes the lone surrogate U+DC00 + b (0x80..0xFF), which no valid UTF-8 decodes
// to; encoding turns those back into their bytes, so any name survives the round trip byte for
// byte. Every name that goes to the system (open, stat, rename, argv, printed output) passes
// through EncodeFileName, every name that comes from it through DecodeFileName.
//
// Threads: pure functions, any thread.

#include <QByteArray>
#include <QString>
#include <QStringList>

// The text of bytes: valid UTF-8 as it is, each other byte as its escape.
QString DecodeFileName(const QByteArray& bytes);
QString DecodeFileName(const char* bytes);
// The bytes of a name: the inverse of DecodeFileName. A lone surrogate that is no escape (it
// cannot come from DecodeFileName) becomes U+FFFD's bytes; CanEncodeFileName tells such names.
QByteArray EncodeFileName(const QString& name);
// False for a name holding a lone surrogate outside the escapes or a NUL: its bytes would name
// some other file.
bool CanEncodeFileName(const QString& name);

// argv decoded by DecodeFileName, argv[0] included: what a program should read instead of QCoreApplication::arguments(), which loses the bytes of names that are not UTF-8.
QStringList ProgramArguments(int argc, const char* const* argv);
